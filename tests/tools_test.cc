// The tools' readings of a binary: a source that polc compiles back to the
// same bytes, for generated policies; images no source gives, which are
// listed as they are but turned into no source; polcq's expansion, and its
// paths against a breadth-first search over a brute-force expansion.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <random>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "base/protocol_lookup.h"
#include "bench/policy_generator.h"
#include "ruledb/policy_binary.h"
#include "tests/support/polc_test.h"
#include "tools/image/policy_text.h"
#include "tools/polcdump/policy_listing.h"
#include "tools/polcdump/policy_source.h"
#include "tools/polcq/domain_transitions.h"
#include "tools/polcq/information_flow.h"
#include "tools/polcq/permission_map.h"
#include "tools/polcq/policy_diff.h"
#include "tools/polcq/policy_query.h"
#include "tools/polcq/query_access.h"
#include "tools/polcq/shortest_paths.h"

namespace {

// polc(polcdump --json(B)) == B, and both give the same listing.
TEST(RoundTrip, GeneratedPoliciesComeBackByteForByte) {
  const polc_bench::PolicyShape shapes[] = {{"one", 1, 1, 0, 0, 0, 0, 0, 0, 0},
                                            {"few", 1, 5, 2, 3, 20, 4, 6, 1, 2},
                                            {"files", 7, 60, 9, 40, 600, 50, 80, 5, 12},
                                            {"many", 16, 400, 120, 600, 20000, 900, 1500, 20, 300},
                                            {"attributes", 3, 30, 200, 60, 3000, 100, 40, 2, 3}};
  for (const polc_bench::PolicyShape& shape : shapes) {
    SCOPED_TRACE(shape.name);
    ASSERT_EQ(polc_bench::CheckShape(shape), "");
    const polc_test::TempDir dir;
    polc_test::WriteGeneratedSources(shape, dir);
    const polc_test::RunResult run = polc_test::RunShell(
        "polc -c -o first.bin src/*.json > /dev/null && polcdump --json first.bin > back.json &&"
        " polc -c -o second.bin back.json > /dev/null && cmp first.bin second.bin &&"
        " cmp <(polcdump first.bin) <(polcdump second.bin)",
        dir.path());
    EXPECT_EQ(run.status, 0) << run.out << run.err;
  }
}

// The small policy of the polcdump cases, read back.
PolicyImage SmallImage() {
  const polc_test::TempDir dir;
  dir.Write("p.json", R"({"declarations": {"type": ["file_t", "init_t"], "attr": ["domain"],
   "typeattr": {"init_t": ["domain"]},
   "labeling": {"file": [{"path": "/etc/app.conf", "context": "file_t"}],
    "reserved_sid": [{"sid": "kernel", "context": "init_t"},
                     {"sid": "unlabeled", "context": "file_t"}],
    "netif": [{"name": "eth0", "context": "file_t"}, {"name": "lo", "context": "init_t"}],
    "packet": [{"prot": "tcp", "source": "10.0.0.0/8", "destination": "0.0.0.0/0",
                "sport": "1024-65535", "dport": "443", "context": "file_t"}]}},
   "rules": [{"subject": "domain",
              "type_transition": [{"object": "file_t", "class": "process", "target": "init_t"}]},
             {"subject": "init_t",
              "teac": [{"object": "file_t", "class": "file", "operation": ["read", "write"]}]}]})");
  EXPECT_EQ(polc_test::RunShell("polc -c -o p.bin p.json", dir.path()).status, 0);
  const std::string text = polc_test::ReadFile(dir.Path("p.bin"));
  PolicyImage image;
  EXPECT_EQ(
      ReadPolicyImage(std::vector<uint8_t>(text.begin(), text.end()), image, RewriteCheck::YES),
      "");
  return image;
}

SymbolRecord& Symbol(PolicyImage& image, uint32_t value) {
  return *std::find_if(image.symbols.begin(), image.symbols.end(),
                       [value](const SymbolRecord& symbol) { return symbol.value == value; });
}

RuleRecord& Rule(PolicyImage& image, uint16_t kind) {
  return *std::find_if(image.rules.begin(), image.rules.end(),
                       [kind](const RuleRecord& rule) { return rule.key.specified == kind; });
}

// An image that reads but that no policy source produces: the listing shows
// what it can, the source writer names the first obstacle and writes nothing.
TEST(PolicySource, ImagesNoSourceGivesAreListedButNotWritten) {
  const struct {
    std::function<void(PolicyImage&)> craft;
    const char* listingLine;
    const char* problem;
  } cases[] = {
      {[](PolicyImage& p) { p.initialSids[0].sid = 7; }, "\tsid#7 file_t",
       "initial sid 0: unknown sid 7"},
      {[](PolicyImage& p) { p.initialSids[1].type = 9; }, "\tkernel #9",
       "initial sid 1: no symbol 9"},
      {[](PolicyImage& p) { std::swap(p.initialSids[0], p.initialSids[1]); }, "\tkernel init_t",
       "initial sid 1: not in the order polc writes (descending, no repeats)"},
      {[](PolicyImage& p) { p.netifs[1].type = 3; }, "\teth0 #3", "netif 1: no symbol 3"},
      {[](PolicyImage& p) { std::swap(p.netifs[0], p.netifs[1]); }, "\tlo init_t",
       "netif 1: not in the order polc writes (descending, no repeats)"},
      {[](PolicyImage& p) { p.netifs[0].name = "l\x01o"; }, "\tl\\x01o init_t", nullptr},
      {[](PolicyImage& p) { p.packets[0].sourceMask = 33; },
       "\ttcp 10.0.0.0/33 port 1024-65535 -> 0.0.0.0/0 port 443 file_t",
       "packet 0: prefix length above 32"},
      {[](PolicyImage& p) { p.packets[0].dportEnd = 80; },
       "\ttcp 10.0.0.0/8 port 1024-65535 -> 0.0.0.0/0 port 443-80 file_t",
       "packet 0: port range ends before it starts"},
      {[](PolicyImage& p) { p.packets[0].protocol = 253; },
       "\tprotocol#253 10.0.0.0/8 port 1024-65535 -> 0.0.0.0/0 port 443 file_t",
       "packet 0: no protocol name for number 253"},
      {[](PolicyImage& p) { p.fileContexts[0].path = "etc/app.conf"; }, "\tetc/app.conf file_t",
       "file context \"etc/app.conf\": path not acceptable to polc"},
      {[](PolicyImage& p) { p.fileContexts[0].context = "etc_t"; }, "\t/etc/app.conf etc_t",
       "file context \"/etc/app.conf\": context \"etc_t\" is no symbol"},
      {[](PolicyImage& p) { p.typeAttrs[0] = {2}; }, "\tfile_t: domain",
       "typeattr entry 0: does not list the symbol itself"},
      {[](PolicyImage& p) {
         p.typeAttrs[1] = {1, 2};
       },
       "\tinit_t: init_t domain", "typeattr entry 1: members are not in ascending name order"},
      {[](PolicyImage& p) { Rule(p, RULE_GRANT).key.tclass = 31; },
       "\tteac init_t file_t class#31 0x10 0x20",
       "rule \"teac init_t file_t class#31 0x10 0x20\": unknown class 31"},
      {[](PolicyImage& p) { Rule(p, RULE_GRANT).datum = 0x80010; },
       "\tteac init_t file_t file read 0x80000",
       "rule \"teac init_t file_t file read 0x80000\": operation bit 0x80000 is not defined for "
       "class file"},
      {[](PolicyImage& p) { Rule(p, RULE_GRANT).key.specified = 3; },
       "\trule#3 init_t file_t file 0x30",
       "rule \"rule#3 init_t file_t file 0x30\": unknown kind 3"},
      {[](PolicyImage& p) { Rule(p, RULE_TRANSITION).datum = 5; },
       "\ttype_transition domain file_t process #5",
       "rule \"type_transition domain file_t process #5\": target 5 is no symbol"},
      {[](PolicyImage& p) { Symbol(p, 0).name = "file t"; }, "\t0 file t",
       "symbol 0: \"file t\" is not a valid context name"},
      {[](PolicyImage& p) { Symbol(p, 2).value = 1; }, "\ttype_transition #2 file_t process init_t",
       "symbol values are not 0 to N - 1, each once"},
      {[](PolicyImage& p) { Symbol(p, 2).value = 3; }, "\ttype_transition #2 file_t process init_t",
       "symbol values are not 0 to N - 1, each once"},
      {[](PolicyImage& p) {
         Symbol(p, 0).name = "x_t";
         p.fileContexts[0].context = "x_t";
       },
       "\t0 x_t", "symbol names do not form two ascending runs (types, then attributes)"},
      {[](PolicyImage& p) { p.version = 2; }, "version 2", "version 2"},
      {[](PolicyImage& p) { p.flags |= 0x40; },
       "flags 0x5f initial_sid netif packet file_context typeattr unknown:0x40",
       "unknown flag bits 0x40"},
      {[](PolicyImage& p) { p.rewritesIdentically = false; }, "\tlo init_t",
       "records are not in the order or form that polc writes them"},
      {[](PolicyImage& p) { p.fileSize += 2; }, "ignored_trailing_bytes 2",
       "2 bytes follow the rule table"}};
  const PolicyImage small = SmallImage();
  for (const auto& c : cases) {
    PolicyImage image = small;
    c.craft(image);
    std::ostringstream listing;
    WritePolicyListing(image, listing);
    EXPECT_NE(("\n" + listing.str()).find("\n" + std::string(c.listingLine) + "\n"),
              std::string::npos)
        << c.listingLine << " in\n"
        << listing.str();
    std::ostringstream source;
    EXPECT_EQ(WritePolicySource(image, source), c.problem == nullptr ? "" : c.problem);
    if (c.problem != nullptr) {
      EXPECT_EQ(source.str(), "") << c.problem;
    } else {
      EXPECT_NE(source.str().find("\"l\\u0001o\""), std::string::npos) << source.str();
    }
  }
  // A source longer than polc reads from one file is refused whole.
  std::ostringstream full;
  ASSERT_EQ(WritePolicySource(small, full), "");
  const uint64_t size = full.str().size();
  std::ostringstream exact;
  EXPECT_EQ(WritePolicySource(small, exact, size), "");
  std::ostringstream shorter;
  EXPECT_EQ(WritePolicySource(small, shorter, size - 1),
            "the source would be " + std::to_string(size) + " bytes, more than the " +
                std::to_string(size - 1) + " that polc reads from one file");
  EXPECT_EQ(shorter.str(), "");
}

// The rules section is the rule texts in byte order however an image is
// crafted: names with a blank that runs into the next field, a name "#3"
// beside a nameless 3, kinds and classes whose texts order otherwise than
// their numbers ("rule#10" before "rule#3"), a target beyond 16 bits.
TEST(PolicyListing, RulesAreInTheOrderOfTheirTexts) {
  const char* const names[] = {"a", "a b", "#3", "a\x01", "a\\", "b", "a_", "#30"};
  const uint16_t classes[] = {1, 2, 6, 0, 31, 310};
  const uint16_t kinds[] = {RULE_GRANT, RULE_TRANSITION, 3, 10};
  const PolicyImage small = SmallImage();
  std::mt19937 random(1);
  const auto pick = [&random](const auto& choices) {
    return choices[random() % std::size(choices)];
  };
  for (int round = 0; round < 40; ++round) {
    PolicyImage image = small;
    for (SymbolRecord& symbol : image.symbols) symbol.name = pick(names);
    image.rules.clear();
    for (int i = 0; i < 60; ++i) {
      const auto value = [&random] { return static_cast<uint16_t>(random() % 6); };
      const uint16_t kind = pick(kinds);
      const uint32_t datum = kind == RULE_GRANT  ? static_cast<uint32_t>(random()) % 8
                             : random() % 4 == 0 ? 70000
                                                 : value();
      image.rules.push_back({{value(), value(), pick(classes), kind}, datum});
    }
    std::vector<std::string> lines;
    for (const RuleRecord& rule : image.rules) lines.push_back(RuleText(rule, SymbolNames(image)));
    std::sort(lines.begin(), lines.end());
    std::string expected = "rules 60\n";
    for (const std::string& line : lines) expected += '\t' + line + '\n';
    std::ostringstream listing;
    WritePolicyListing(image, listing);
    const std::string text = listing.str();
    ASSERT_EQ(text.substr(text.find("rules ")), expected) << "round " << round;
  }
}

// Blocks, whether written as they fill or kept, give the text as appended
// and count it, across many blocks.
TEST(PolicyText, TextBlocksKeepTheTextAndItsSize) {
  std::string expected;
  std::ostringstream written;
  TextBlocks streamed(&written);
  TextBlocks kept;
  for (uint32_t piece = 0; expected.size() < (size_t{20} << 20); ++piece) {
    const std::string text = std::to_string(piece) + std::string(piece % 5000, 'x') + '\n';
    expected += text;
    for (TextBlocks* blocks : {&streamed, &kept}) {
      blocks->Text() += text;
      blocks->EndPiece();
    }
  }
  EXPECT_EQ(kept.Size(), expected.size());
  std::ostringstream fromKept;
  kept.WriteTo(fromKept);
  streamed.WriteTo(written);
  EXPECT_TRUE(fromKept.str() == expected && written.str() == expected);
  EXPECT_EQ(kept.Size(), 0U);
}

// Every protocol polc's lookup knows gets a name that maps back to it,
// whether the system's database or only polc's own table knows it.
TEST(PolicyText, ProtocolNamesMapBackToTheirNumbers) {
  for (const uint16_t protocol : {0, 1, 6, 13, 17, 58, 132, 145}) {
    const std::optional<std::string> name = ProtocolName(protocol);
    ASSERT_TRUE(name.has_value()) << protocol;
    EXPECT_EQ(LookupProtocol(name->c_str()), protocol) << *name;
  }
  for (const uint16_t protocol : {253, 254, 1000, 65535}) EXPECT_FALSE(ProtocolName(protocol));
}

// polcq diff drops the lines both policies list before it sorts the rest:
// a line listed twice in one and once in the other differs once.
TEST(PolicyDiff, RepeatedEntriesCancelPairwise) {
  PolicyImage old = SmallImage();
  PolicyImage now = old;
  old.netifs.push_back(old.netifs[0]);  // lo twice, eth0 once
  old.fileContexts.push_back(old.fileContexts[0]);
  now.netifs.push_back(now.netifs[1]);  // lo once, eth0 three times
  now.netifs.push_back(now.netifs[1]);
  QueryPolicy before;
  QueryPolicy after;
  ASSERT_EQ(before.Adopt(std::move(old)), "");
  ASSERT_EQ(after.Adopt(std::move(now)), "");
  std::ostringstream diff;
  EXPECT_TRUE(WritePolicyDiff(before, after, {}, diff));
  EXPECT_EQ(diff.str(),
            "+ netifs eth0 file_t\n+ netifs eth0 file_t\n- netifs lo init_t\n"
            "- file_contexts /etc/app.conf file_t\n");
}

// `image` in the binary format, its records in its own order: the file a
// crafted image would be.
std::vector<uint8_t> BinaryOf(const PolicyImage& image) {
  std::vector<uint8_t> bytes;
  const auto put = [&bytes](int size, std::initializer_list<uint64_t> values) {
    for (const uint64_t value : values) {
      for (int i = 0; i < size; ++i) bytes.push_back(static_cast<uint8_t>(value >> 8 * i));
    }
  };
  const auto text = [&bytes](const std::string& t) {
    bytes.insert(bytes.end(), t.begin(), t.end());
  };
  const auto section = [&](uint32_t flag, const auto& records, const auto& putRecord) {
    if ((image.flags & flag) == 0) return;
    put(4, {records.size()});
    for (const auto& record : records) putRecord(record);
  };
  put(4, {POLICY_MAGIC, image.version, image.flags, POLICY_SYM_CNT, POLICY_OBJ_CNT,
          image.symbols.size()});
  for (const SymbolRecord& symbol : image.symbols) {
    put(4, {symbol.name.size(), symbol.value});
    text(symbol.name);
  }
  section(FLAG_INITIAL_SID, image.initialSids, [&](const InitialSidRecord& sid) {
    put(4, {sid.sid});
    put(2, {sid.type});
  });
  section(FLAG_NETIF, image.netifs, [&](const NetifRecord& netif) {
    put(4, {netif.name.size()});
    put(2, {netif.type});
    text(netif.name);
  });
  section(FLAG_PACKET, image.packets, [&](const PacketRecord& p) {
    put(4, {p.sourceAddress, p.sourceMask, p.destinationAddress, p.destinationMask});
    put(2, {p.sportStart, p.sportEnd, p.dportStart, p.dportEnd, p.protocol, p.type});
  });
  section(FLAG_FILE_CONTEXT, image.fileContexts, [&](const FileContextRecord& file) {
    put(4, {file.path.size(), file.context.size()});
    text(file.path);
    text(file.context);
  });
  // Present exactly when FLAG_TYPEATTR is: the image's reader made them so.
  for (const std::vector<uint16_t>& members : image.typeAttrs) {
    put(2, {members.size()});
    for (const uint16_t member : members) put(2, {member});
  }
  put(4, {image.rules.size()});
  for (const RuleRecord& rule : image.rules) {
    put(2, {rule.key.source, rule.key.target, rule.key.tclass, rule.key.specified});
    put(4, {rule.datum});
  }
  return bytes;
}

// Each refusal of a crafted image on polcq's way in, one row each: the
// readers', and every check of QueryPolicy::Check, which stands between such
// an image and indexes that trust its values. The image is crafted, written
// out and read back; the type-attribute count is crafted once read, as no
// binary can give it (the readers take one entry per symbol).
TEST(PolicyQuery, EveryRefusalOfACraftedImageHasItsRow) {
  const auto manySymbols = [](PolicyImage& p) {
    p.flags &= ~FLAG_TYPEATTR;
    p.typeAttrs.clear();
    for (uint32_t value = 3; value <= SYMBOL_VALUE_COUNT; ++value) {
      p.symbols.push_back({value, "s" + std::to_string(value)});
    }
  };
  const std::string refused = "not a policy polcq can query: ";
  const struct {
    std::function<void(PolicyImage&)> craftWritten;
    std::function<void(PolicyImage&)> craftRead;
    std::string refusal;
  } rows[] = {
      {[](PolicyImage&) {}, nullptr, ""},
      {manySymbols, nullptr, refused + "more than 65536 symbols"},
      {[](PolicyImage& p) { Symbol(p, 2).value = 1; }, nullptr,
       refused + "the symbols do not name every value once"},
      {nullptr, [](PolicyImage& p) { p.typeAttrs.pop_back(); },
       refused + "the type attributes do not match the symbols"},
      {[](PolicyImage& p) { p.typeAttrs[1].push_back(3); }, nullptr,
       refused + "type attribute of value 1 names no symbol"},
      {[](PolicyImage& p) { Rule(p, RULE_GRANT).key.source = 3; }, nullptr,
       refused + "rule 0 names no symbol"},
      {[](PolicyImage& p) { Rule(p, RULE_GRANT).key.target = 3; }, nullptr,
       refused + "rule 0 names no symbol"},
      {[](PolicyImage& p) { Rule(p, RULE_GRANT).key.tclass = 31; }, nullptr,
       refused + "rule 0 names no class"},
      {[](PolicyImage& p) { Rule(p, RULE_GRANT).datum = 0x80010; }, nullptr,
       refused + "rule 0 grants an operation its class lacks"},
      {[](PolicyImage& p) { Rule(p, RULE_TRANSITION).datum = 3; }, nullptr,
       refused + "rule 1 targets no symbol"},
      {[](PolicyImage& p) { Rule(p, RULE_GRANT).key.specified = 3; }, nullptr,
       refused + "rule 1 is of no known kind"},
      {[](PolicyImage& p) { p.initialSids[1].type = 3; }, nullptr,
       refused + "initial sid 1 names no symbol"},
      {[](PolicyImage& p) { p.netifs[1].type = 3; }, nullptr, refused + "netif 1 names no symbol"},
      {[](PolicyImage& p) { p.packets[0].type = 3; }, nullptr,
       refused + "packet 0 names no symbol"},
      // The fast parse must not take an object context block whose record
      // it could not read, nor the database's reader a name of no bytes.
      {[](PolicyImage& p) { p.netifs[1].name.clear(); }, nullptr,
       "Read object context failed: invalid or truncated data (status -22); reading stopped at "
       "offset 100 of 205 bytes"},
      {[](PolicyImage& p) { Symbol(p, 0).name.clear(); }, nullptr,
       "Read symbol table failed: invalid or truncated data (status -22); reading stopped at "
       "offset 60 of 203 bytes"}};
  const PolicyImage small = SmallImage();
  for (const auto& row : rows) {
    SCOPED_TRACE(row.refusal);
    PolicyImage image = small;
    if (row.craftWritten) row.craftWritten(image);
    PolicyImage read;
    std::string verdict = ReadPolicyImage(BinaryOf(image), read);
    if (verdict.empty()) {
      if (row.craftRead) row.craftRead(read);
      QueryPolicy policy;
      verdict = policy.Adopt(std::move(read));
    }
    EXPECT_EQ(verdict, row.refusal);
  }
}

using Key = std::tuple<uint32_t, uint32_t, uint16_t>;  // subject, object, class

// Every rule applied to every pair of names whose attribute sets hold its
// subject and object.
struct Expansion {
  std::map<Key, uint32_t> grants;
  std::map<Key, std::set<uint32_t>> transitions;

  explicit Expansion(const QueryPolicy& policy) {
    const PolicyImage& image = policy.Image();
    const auto holds = [&image](uint32_t value, uint32_t attribute) {
      const std::vector<uint16_t>& set = image.typeAttrs[value];
      return value == attribute || std::find(set.begin(), set.end(), attribute) != set.end();
    };
    for (const RuleRecord& rule : image.rules) {
      for (uint32_t s = 0; s < policy.NameCount(); ++s) {
        for (uint32_t o = 0; o < policy.NameCount(); ++o) {
          if (!holds(s, rule.key.source) || !holds(o, rule.key.target)) continue;
          const Key key{s, o, rule.key.tclass};
          if (rule.key.specified == RULE_GRANT) grants[key] |= rule.datum;
          if (rule.key.specified == RULE_TRANSITION) transitions[key].insert(rule.datum);
        }
      }
    }
  }
  uint32_t Grant(uint32_t s, uint32_t o, const char* tclass) const {
    const auto found = grants.find({s, o, GetClassIndex(tclass)});
    return found == grants.end() ? 0 : found->second;
  }
};

// Every effective line of `policy` by brute force.
std::set<std::string> BruteForceLines(const QueryPolicy& policy) {
  const Expansion expansion(policy);
  const auto start = [&policy](const char* section, const Key& key) {
    const auto [subject, object, tclass] = key;
    return section + (' ' + policy.Name(subject)) + ' ' + policy.Name(object) + ' ' +
           ClassText(tclass);
  };
  std::set<std::string> lines;
  for (const auto& [key, operations] : expansion.grants) {
    lines.insert(start("access", key) + ' ' + OperationList(std::get<2>(key), operations));
  }
  for (const auto& [key, targets] : expansion.transitions) {
    std::set<std::string> names;
    for (const uint32_t target : targets) names.insert(policy.Name(target));
    std::string line = start("transitions", key);
    for (const std::string& name : names) line += ' ' + name;
    lines.insert(names.size() > 1 ? line + " conflict" : line);
  }
  return lines;
}

// The lines of `text` that start with one of `prefixes`, each prefixed.
std::set<std::string> LinesStartingWith(const std::string& text,
                                        const std::vector<std::string>& prefixes) {
  std::set<std::string> lines;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);) {
    for (const std::string& prefix : prefixes) {
      if (line.starts_with(prefix)) {
        EXPECT_TRUE(lines.insert(line).second) << line;
      }
    }
  }
  return lines;
}

std::string EffectiveLines(const QueryPolicy& policy) {
  std::ostringstream access;
  std::ostringstream transitions;
  WriteEffects(policy, {}, RULE_GRANT, false, access);
  WriteEffects(policy, {}, RULE_TRANSITION, false, transitions);
  const auto prefixed = [](const std::string& section, const std::string& lines) {
    std::string text;
    std::istringstream stream(lines);
    for (std::string line; std::getline(stream, line);) text += section + ' ' + line + '\n';
    return text;
  };
  return prefixed("access", access.str()) + prefixed("transitions", transitions.str());
}

// The same policy with a rule gone, a grant narrowed, a transition moved to
// another target, a name renamed and a name given one more attribute.
PolicyImage Changed(PolicyImage image) {
  const auto firstOf = [&image](uint16_t kind, auto&& more) {
    return std::find_if(image.rules.begin(), image.rules.end(), [&](const RuleRecord& rule) {
      return rule.key.specified == kind && more(rule);
    });
  };
  const auto any = [](const RuleRecord&) { return true; };
  image.rules.erase(firstOf(RULE_GRANT, any));
  auto wide = firstOf(RULE_GRANT,
                      [](const RuleRecord& rule) { return (rule.datum & (rule.datum - 1)) != 0; });
  wide->datum &= wide->datum - 1;
  auto transition = firstOf(RULE_TRANSITION, any);
  transition->datum = (transition->datum + 1) % image.symbols.size();
  image.symbols[1].name += "_renamed";
  image.typeAttrs[2].push_back(static_cast<uint16_t>(image.symbols.size() - 1));
  return image;
}

// polcq's effective access and transitions are those of a brute-force
// expansion, and diff --effective, which expands only what a change can
// reach, reports exactly the lines that differ.
TEST(PolicyQuery, EffectsAndTheirDiffAreTheBruteForceExpansion) {
  const polc_bench::PolicyShape shapes[] = {{"few", 1, 5, 2, 3, 20, 4, 6, 1, 2},
                                            {"files", 7, 60, 9, 40, 600, 50, 80, 5, 12},
                                            {"attributes", 3, 30, 40, 60, 900, 100, 40, 2, 3}};
  const std::vector<std::string> effective = {"access ", "transitions "};
  for (const polc_bench::PolicyShape& shape : shapes) {
    SCOPED_TRACE(shape.name);
    const polc_test::TempDir dir;
    polc_test::WriteGeneratedSources(shape, dir);
    ASSERT_EQ(polc_test::RunShell("polc -c -o p.bin src/*.json", dir.path()).status, 0);
    QueryPolicy before;
    ASSERT_EQ(before.Load(dir.Path("p.bin")), "");
    const std::set<std::string> old = BruteForceLines(before);
    EXPECT_EQ(LinesStartingWith(EffectiveLines(before), effective), old);
    QueryPolicy after;
    ASSERT_EQ(after.Adopt(Changed(before.Image())), "");
    const std::set<std::string> now = BruteForceLines(after);
    std::set<std::string> differences;
    for (const std::string& line : old) {
      if (now.count(line) == 0) differences.insert("- " + line);
    }
    for (const std::string& line : now) {
      if (old.count(line) == 0) differences.insert("+ " + line);
    }
    std::ostringstream diff;
    EXPECT_TRUE(WritePolicyDiff(before, after, {.effective = true}, diff));
    EXPECT_EQ(LinesStartingWith(diff.str(),
                                {"- access ", "+ access ", "- transitions ", "+ transitions "}),
              differences);
    EXPECT_FALSE(old.empty() || differences.empty());
  }
}

// A step of the brute force: the names it adds to a path (its way, if any,
// then the name reached) and its label.
struct Step {
  std::vector<std::string> names;
  std::string label;
};
using StepTable = std::map<uint32_t, std::vector<std::pair<uint32_t, Step>>>;  // by name: to, step

// The lines polcq prints for `start`: level by level, each name's path is
// the least, name by name, of its predecessors' paths extended by a step.
std::string LeastPathLines(const QueryPolicy& policy, uint32_t start, uint32_t maxDepth,
                           const StepTable& steps) {
  using Path = std::pair<std::vector<std::string>, std::string>;  // names, line text
  std::map<uint32_t, Path> paths = {{start, {{policy.Name(start)}, policy.Name(start)}}};
  std::vector<uint32_t> level = {start};
  for (uint32_t depth = 0; depth < maxDepth && !level.empty(); ++depth) {
    std::map<uint32_t, Path> next;
    for (const uint32_t from : level) {
      const auto out = steps.find(from);
      for (const auto& [to, step] : out == steps.end() ? StepTable::mapped_type() : out->second) {
        if (paths.count(to) != 0) continue;
        Path path = paths[from];
        path.first.insert(path.first.end(), step.names.begin(), step.names.end());
        path.second += " -[" + step.label + "]-> " + policy.Name(to);
        if (next.count(to) == 0 || path.first < next[to].first) next[to] = path;
      }
    }
    level.clear();
    for (auto& [to, path] : next) {
      paths.emplace(to, std::move(path));
      level.push_back(to);
    }
  }
  std::string text;
  for (const uint32_t to : policy.ByName()) {
    if (to != start && paths.count(to) != 0)
      text += policy.Name(to) + ": " + paths[to].second + "\n";
  }
  return text;
}

StepTable ReachSteps(const QueryPolicy& policy, const Expansion& expansion) {
  const uint32_t transition = GetOperationBit(GetClassIndex("process"), "transition");
  const uint32_t entrypoint = GetOperationBit(GetClassIndex("file"), "entrypoint");
  const uint32_t execute = GetOperationBit(GetClassIndex("file"), "execute");
  StepTable steps;
  for (uint32_t from = 0; from < policy.NameCount(); ++from) {
    for (uint32_t to = 0; to < policy.NameCount(); ++to) {
      for (uint32_t via = 0; via < policy.NameCount(); ++via) {
        if ((expansion.Grant(from, to, "process") & transition) == 0 ||
            (expansion.Grant(to, via, "file") & entrypoint) == 0 ||
            (expansion.Grant(from, via, "file") & execute) == 0) {
          continue;
        }
        const auto targets = expansion.transitions.find({from, via, GetClassIndex("process")});
        const bool automatic =
            targets != expansion.transitions.end() && targets->second.count(to) != 0;
        steps[from].push_back(
            {to,
             {{policy.Name(via), policy.Name(to)}, policy.Name(via) + (automatic ? " auto" : "")}});
      }
    }
  }
  return steps;
}

// Labelled with their weights only: the highest of the operations that move
// information that way with at least `minWeight`.
StepTable FlowSteps(const QueryPolicy& policy, const PermissionMap& map, const Expansion& expansion,
                    uint32_t minWeight) {
  std::map<std::pair<uint32_t, uint32_t>, uint32_t> weights;  // by (from, to)
  for (const auto& [key, operations] : expansion.grants) {
    const auto [subject, object, tclass] = key;
    for (uint32_t bit = 0; bit < 32; ++bit) {
      const OperationFlow& flow = map.operations[tclass][bit];
      if ((operations >> bit & 1) == 0 || flow.weight < minWeight) continue;
      for (const auto& [direction, from, to] : {std::tuple(FlowDirection::READ, object, subject),
                                                {FlowDirection::WRITE, subject, object}}) {
        if (flow.direction == direction || flow.direction == FlowDirection::BOTH) {
          uint32_t& weight = weights[{from, to}];
          weight = std::max<uint32_t>(weight, flow.weight);
        }
      }
    }
  }
  StepTable steps;
  for (const auto& [pair, weight] : weights) {
    steps[pair.first].push_back(
        {pair.second, {{policy.Name(pair.second)}, "(" + std::to_string(weight) + ")"}});
  }
  return steps;
}

// polcq's flow lines with each label cut to its weight.
std::string WeightsOnly(const std::string& lines) {
  return std::regex_replace(lines, std::regex(R"(-\[[^\]]*(\(\d+\))\]->)"), "-[$1]->");
}

TEST(Paths, ReachAndFlowAreTheLeastShortestPathsOfABruteForceSearch) {
  const polc_bench::PolicyShape shapes[] = {{"dense", 1, 10, 4, 12, 2400, 60, 0, 0, 0},
                                            {"attributes", 2, 16, 8, 30, 3000, 120, 0, 0, 0}};
  const PermissionMap map = ShippedPermissionMap();
  bool longerThanOneStep = false;
  for (const polc_bench::PolicyShape& shape : shapes) {
    const polc_test::TempDir dir;
    polc_test::WriteGeneratedSources(shape, dir);
    ASSERT_EQ(polc_test::RunShell("polc -c -o p.bin src/*.json", dir.path()).status, 0);
    QueryPolicy policy;
    ASSERT_EQ(policy.Load(dir.Path("p.bin")), "");
    const Expansion expansion(policy);
    const StepTable reachSteps = ReachSteps(policy, expansion);
    for (uint32_t start = 0; start < policy.NameCount(); ++start) {
      for (const uint32_t maxDepth : {1u, 2u, UINT32_MAX}) {
        SCOPED_TRACE(std::string(shape.name) + " from " + policy.Name(start) + " depth " +
                     std::to_string(maxDepth));
        const auto found = [&](PathSearch&& search) {
          std::ostringstream out;
          const PathTree tree = ShortestPaths(policy, start, maxDepth, std::nullopt, search);
          WritePaths(policy, tree, search, std::nullopt, PathFormat::LINES, "g", out);
          return out.str();
        };
        const std::string reach = found(DomainTransitions(policy));
        EXPECT_EQ(reach, LeastPathLines(policy, start, maxDepth, reachSteps));
        longerThanOneStep |= std::regex_search(reach, std::regex(R"(\]-> .* -\[)"));
        for (const uint32_t minWeight : {1u, 9u}) {
          EXPECT_EQ(WeightsOnly(found(InformationFlow(policy, map, minWeight))),
                    LeastPathLines(policy, start, maxDepth,
                                   FlowSteps(policy, map, expansion, minWeight)));
        }
      }
    }
  }
  EXPECT_TRUE(longerThanOneStep);
}

// The shipped map reads, and gives every operation of the class table a
// direction and a weight.
TEST(PermissionMap, TheShippedMapCoversEveryOperation) {
  PermissionMap map;
  ASSERT_EQ(ParsePermissionMap(SHIPPED_PERMISSION_MAP, SHIPPED_PERMISSION_MAP_SIZE, map), "");
  for (uint16_t tclass = 1; tclass <= CLASS_COUNT; ++tclass) {
    for (uint32_t bit = 0; GetOperationName(tclass, 1u << bit) != nullptr; ++bit) {
      EXPECT_NE(map.operations[tclass][bit].weight, 0) << GetClassName(tclass) << " bit " << bit;
    }
  }
}

}  // namespace

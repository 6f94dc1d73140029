// The reader's parts that the end-to-end cases cannot pin alone: the value
// matchers against the patterns they implement, the converters' out values,
// the protocol table, the name pool, a file that vanishes after the command
// line, and a source read from a deferred document.
#include <gtest/gtest.h>
#include <netdb.h>
#include <unistd.h>

#include <cstring>
#include <optional>
#include <random>
#include <regex>
#include <string>
#include <string_view>
#include <vector>

#include "base/protocol_lookup.h"
#include "bench/policy_generator.h"
#include "compiler/varo_compiler.h"
#include "reader/json_parser.h"
#include "reader/name_pool.h"
#include "reader/validators.h"
#include "tests/support/polc_test.h"

namespace {

// Every text over `alphabet` of length 0..maxLength.
std::vector<std::string> AllTexts(const std::string& alphabet, size_t maxLength) {
  std::vector<std::string> texts = {""};
  for (size_t begin = 0, length = 1; length <= maxLength; ++length) {
    const size_t end = texts.size();
    for (size_t i = begin; i < end; ++i) {
      for (const char c : alphabet) texts.push_back(texts[i] + c);
    }
    begin = end;
  }
  return texts;
}

// `text` with, three times in four, one character of `noise` inserted,
// put in place of another, or one character dropped.
std::string Disturbed(std::mt19937& random, std::string text, const std::string& noise) {
  const char extra = noise[random() % noise.size()];
  const size_t at = text.empty() ? 0 : random() % text.size();
  const unsigned how = random() % 4;
  if (how == 0) text.insert(at, 1, extra);
  if (how == 1 && !text.empty()) text[at] = extra;
  if (how == 2 && !text.empty()) text.erase(at, 1);
  return text;
}

// The matcher accepts exactly what the pattern does, and both outcomes
// occur at least `atLeast` times. It sees each text as a view followed by a
// digit that it must not read.
void ExpectTheLanguageOf(const char* pattern, bool search, bool (*matcher)(std::string_view),
                         const std::vector<std::string>& texts, size_t atLeast) {
  const std::regex regex(pattern, std::regex::ECMAScript);
  size_t accepted = 0;
  for (const std::string& text : texts) {
    const bool expected = search ? std::regex_search(text, regex) : std::regex_match(text, regex);
    const std::string followed = text + '7';
    ASSERT_EQ(matcher(std::string_view(followed).substr(0, text.size())), expected)
        << pattern << " on \"" << text << "\"";
    accepted += expected;
  }
  EXPECT_GE(accepted, atLeast);
  EXPECT_GE(texts.size() - accepted, atLeast);
}

TEST(Matchers, AcceptExactlyTheLanguagesOfTheirPatterns) {
  std::string everyByte;
  for (int c = 1; c < 256; ++c) everyByte += static_cast<char>(c);
  std::vector<std::string> names = AllTexts(everyByte, 1);
  for (const std::string& text : AllTexts("aZ09-_./\\:+ \x80,", 4)) names.push_back(text);
  ExpectTheLanguageOf("[a-zA-Z0-9-_\\./]+", false, MatchesContextName, names, 1000);
  ExpectTheLanguageOf("^([a-zA-Z]+:)?/", true, MatchesPathStart, AllTexts("aZ1:/ .", 6), 1000);

  std::mt19937 random(20240611);
  const std::vector<std::string> octets = {"0",   "1",   "9",   "00",  "01",  "10",   "99",
                                           "100", "199", "200", "249", "250", "255",  "256",
                                           "260", "300", "999", "",    "2",   "1000", "25"};
  const std::vector<std::string> prefixes = {"0",  "8",  "9",  "10", "29",  "30", "32",
                                             "33", "40", "00", "08", "032", "",   "3"};
  const std::vector<std::string> separators = {".", ".", ".", ".", ".", ".", "", "..", "a", "/"};
  std::vector<std::string> addresses = AllTexts("0128./", 5);
  for (int i = 0; i < 200000; ++i) {
    std::string text = octets[random() % octets.size()];
    for (int octet = 1; octet < 4; ++octet) {
      text += separators[random() % separators.size()] + octets[random() % octets.size()];
    }
    text += (random() % 8 == 0 ? "" : "/") + prefixes[random() % prefixes.size()];
    addresses.push_back(random() % 2 == 0 ? text : Disturbed(random, text, "0123./a_ "));
  }
  ExpectTheLanguageOf("^((25[0-5]|(2[0-4]|1\\d|[1-9]|)\\d)\\.?\\b){4}/([0-9]|[1-2][0-9]|3[0-2])$",
                      false, MatchesAddressPrefix, addresses, 2000);

  const std::vector<std::string> pieces = {"1", "23", "456", "0000", "65535", "-", "99999"};
  std::vector<std::string> ports = AllTexts("09-x", 8);
  for (int i = 0; i < 100000; ++i) {
    std::string text;
    for (unsigned n = 1 + random() % 4; n > 0; --n) text += pieces[random() % pieces.size()];
    ports.push_back(Disturbed(random, text, "0-a "));
  }
  ExpectTheLanguageOf("^[0-9]{1,5}$|^[0-9]{1,5}-[0-9]{1,5}$", false, MatchesPortRange, ports,
                      10000);
}

// A text, the two fields it gives, or the log line of its refusal, which
// leaves the out value as it was.
struct Parsed {
  std::string text;
  uint32_t first, second;
  std::string log;
};

template <typename Out>
void ExpectParses(std::optional<Fault> (*parse)(std::string_view, Out&),
                  const std::vector<Parsed>& rows) {
  for (const Parsed& row : rows) {
    Out out{4321, 99};
    const std::optional<Fault> fault = parse(row.text, out);
    EXPECT_EQ(fault ? fault->logLine : "", row.log.empty() ? "" : "[JsonParser]" + row.log + "\n");
    const auto [first, second] = out;
    EXPECT_EQ(uint32_t{first}, row.log.empty() ? row.first : 4321) << row.text;
    EXPECT_EQ(uint32_t{second}, row.log.empty() ? row.second : 99) << row.text;
  }
}

TEST(Validators, ConvertAddressPrefixesAndPortRanges) {
  ExpectParses<AddressPrefix>(ParseAddressPrefix,
                              {{"10.0.0.0/8", 0x0A000000, 8, ""},
                               {"0.0.0.0/0", 0, 0, ""},
                               {"192.168.1.0/24", 0xC0A80100, 24, ""},
                               {"10.0.0.1/8", 0x0A000001, 8, ""},
                               {"255.255.255.255/32", 0xFFFFFFFF, 32, ""},
                               {"10.0.0.1", 0, 0, "[Invalid address][address=10.0.0.1]"},
                               {"", 0, 0, "[Invalid address][address=]"},
                               {"1.2.3.4/\x01", 0, 0, "[Invalid address][address=1.2.3.4/*]"}});
  ExpectParses<PortRange>(ParsePortRange,
                          {{"80", 80, 80, ""},
                           {"0", 0, 0, ""},
                           {"1024-65535", 1024, 65535, ""},
                           {"00080", 80, 80, ""},
                           {"7-7", 7, 7, ""},
                           {"65536", 0, 0, "[Invalid port range][start=65536, end=65536]"},
                           {"200-100", 0, 0, "[Invalid port range][start=200, end=100]"},
                           {"1-65536", 0, 0, "[Invalid port range][start=1, end=65536]"},
                           {"80-", 0, 0, "[Invalid port range][range=80-]"},
                           {"", 0, 0, "[Invalid port range][range=]"}});
}

// The system's database first, then the built-in table, which must agree
// with the database wherever the machine has one.
TEST(ProtocolLookup, KnowsKeywordsAndAliasesExactly) {
  const std::pair<std::vector<const char*>, std::optional<uint16_t>> rows[] = {
      {{"tcp", "TCP"}, 6},
      {{"udp", "UDP"}, 17},
      {{"icmp", "ICMP"}, 1},
      {{"ip", "IP", "hopopt"}, 0},
      {{"ipencap", "IP-ENCAP", "ipv4", "IPv4"}, 4},
      {{"ipv6-icmp", "IPv6-ICMP"}, 58},
      {{"esp", "IPSEC-ESP"}, 50},
      {{"ospf", "OSPFIGP"}, 89},
      {{"ax.25"}, 93},
      {{"a/n"}, 107},
      {{"tp++"}, 39},
      {{"ipcomp", "IPComp", "IPCOMP"}, 108},
      {{"mptcp"}, 262},
      {{"TTP", "IPTM"}, 84},
      {{"AGGFRAG"}, 144},
      {{"Tcp", "tCP", "tcp ", "", "tc", "tcpx", "ISIS over IPv4", "MANET"}, std::nullopt}};
  for (const auto& [names, number] : rows) {
    for (const char* name : names) {
      EXPECT_EQ(LookupBuiltinProtocol(name), number) << name;
      const protoent* entry = getprotobyname(name);
      EXPECT_EQ(LookupProtocol(name), entry != nullptr ? entry->p_proto : number) << name;
    }
  }
  setprotoent(0);
  while (const protoent* entry = getprotoent()) {
    std::vector<const char*> names = {entry->p_name};
    for (char** alias = entry->p_aliases; *alias != nullptr; ++alias) names.push_back(*alias);
    for (const char* name : names) {
      EXPECT_EQ(LookupProtocol(name), entry->p_proto) << name;
      const std::optional<uint16_t> builtin = LookupBuiltinProtocol(name);
      EXPECT_TRUE(!builtin.has_value() || *builtin == entry->p_proto) << name;
    }
  }
  endprotoent();
}

// A file the command line accepted that is gone when the reader gets to it.
// A quarter of a million names hold pairs whose hashes agree and names
// that begin others: each still has an id of its own, found again.
TEST(NamePool, EveryTextKeepsAnIdOfItsOwn) {
  std::vector<std::string> texts;
  for (int i = 0; i < 250000; ++i) texts.push_back("t" + std::to_string(i));
  const std::vector<std::string_view> views(texts.begin(), texts.end());
  std::vector<NameId> ids(texts.size());
  NamePool pool;
  pool.InternAll(views, ids);
  EXPECT_EQ(pool.size(), texts.size());
  for (size_t i = 0; i < texts.size(); ++i) {
    ASSERT_EQ(pool.Text(ids[i]), texts[i]);
    ASSERT_EQ(pool.Find(texts[i]), ids[i]) << texts[i];
    ASSERT_EQ(pool.Intern(texts[i]), ids[i]) << texts[i];
  }
}

TEST(Reader, AFileThatVanishedCannotBeRead) {
  const polc_test::TempDir dir;
  const std::string input = dir.Write("p.json", R"({"declarations": {"type": ["a_t"]}})");
  ASSERT_EQ(unlink(input.c_str()), 0);
  JsonParser reader;
  int status = 0;
  EXPECT_EQ(polc_test::CaptureLog([&] { status = reader.ParseJsonFiles({input}); }),
            "[INFO][JsonParser][Parsing json file][file=" + input + "]\n" +
                "[ERROR][JsonParser][Read file to json string failed][file=" + input + "]\n" +
                "[ERROR][JsonParser][Parse json file failed][file=" + input + "]\n");
  EXPECT_EQ(status, -1);
}

// The policy binary and map compiled from one source file read from a
// document deferred in windows of `deferBytes` (none when the text is
// smaller).
std::string CompiledFrom(const std::string& text, uint32_t deferBytes) {
  SourceText copy = NewBlock<char>(text.size() + 1);
  std::memcpy(copy.get(), text.c_str(), text.size() + 1);
  const LoadedSource source = ParseSource(std::move(copy), text.size(), Places::SKIP, deferBytes);
  PolicyModel model;
  Diagnostics diagnostics(false);
  ReadContext context(model, diagnostics, "policy.json");
  EXPECT_EQ(ReadLoadedSource(context, source), 0);
  // As merging makes it of a file: every name is an attribute of itself.
  for (const NameIdSet* declared : {&model.types, &model.attrs}) {
    for (const NameId id : declared->Ids()) {
      model.typeAttrMap.names.Insert(id);
      model.typeAttrMap.links.push_back({id, id});
    }
  }
  const polc_test::TempDir dir;
  VaroCompiler compiler(std::move(model));
  polc_test::CaptureLog([&] { EXPECT_EQ(compiler.Compile(dir.Path("policy.bin"), true), 0); });
  return polc_test::ReadFile(dir.Path("policy.bin")) + polc_test::ReadFile(dir.Path("policy.map"));
}

// Read from a document built a window at a time, and given back as it is
// read, a source gives the policy that the whole tree gives.
TEST(Reader, ADeferredSourceReadsAsAWholeOne) {
  // Sections of some pages each, so that pages go back while they are read.
  const polc_bench::PolicyShape shape{"one", 1, 2000, 40, 1500, 12000, 600, 3000, 8, 40};
  const std::string text = polc_bench::GeneratePolicyFile(shape, 0);
  const std::string whole = CompiledFrom(text, UINT32_MAX);
  for (const uint32_t deferBytes : {1u, 4096u, 65536u}) {
    EXPECT_EQ(CompiledFrom(text, deferBytes), whole) << deferBytes;
  }
}

}  // namespace

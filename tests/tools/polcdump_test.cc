// polcdump end to end: the built program on images in a temporary directory.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "tests/support/polc_test.h"
#include "tests/tools/image_writer.h"
#include "tools/policy_image.h"

namespace {

using polc_test::RunProgram;
using polc_test::RunResult;
using polc_test::TempDir;

RunResult RunPolcdump(const std::vector<std::string>& args) {
  return RunProgram(POLCDUMP_BINARY, args);
}

std::string AsText(const std::vector<uint8_t>& bytes) { return {bytes.begin(), bytes.end()}; }

constexpr char kSmallPolicyListing[] =
    "bytes 209\n"
    "version 1\n"
    "flags 0x1f initial_sid netif packet file_context typeattr\n"
    "symbols 3\n"
    "\t0 file_t\n"
    "\t1 init_t\n"
    "\t2 domain\n"
    "initial_sids 2\n"
    "\tkernel init_t\n"
    "\tunlabeled file_t\n"
    "netifs 2\n"
    "\teth0 file_t\n"
    "\tlo init_t\n"
    "packets 1\n"
    "\ttcp 10.0.0.0/8 port 1024-65535 -> 0.0.0.0/0 port 443 file_t\n"
    "file_contexts 1\n"
    "\t/etc/app.conf file_t\n"
    "typeattrs 3\n"
    "\tdomain: domain\n"
    "\tfile_t: file_t\n"
    "\tinit_t: domain init_t\n"
    "rules 2\n"
    "\tteac init_t file_t file read write\n"
    "\ttype_transition domain file_t process init_t\n";

class Polcdump : public ::testing::Test {
 protected:
  std::string WritePolicy(const std::vector<uint8_t>& bytes, const std::string& name = "p.bin") {
    return dir_.Write(name, AsText(bytes));
  }
  TempDir dir_;
};

// domain sorts before init_t but has the higher value: the attribute run.
constexpr char kSmallPolicySource[] = R"({
  "declarations": {
    "type": [
      "file_t",
      "init_t"
    ],
    "attr": [
      "domain"
    ],
    "typeattr": {
      "init_t": ["domain"]
    },
    "labeling": {
      "file": [
        {"path":"/etc/app.conf","context":"file_t"}
      ],
      "reserved_sid": [
        {"sid":"kernel","context":"init_t"},
        {"sid":"unlabeled","context":"file_t"}
      ],
      "netif": [
        {"name":"eth0","context":"file_t"},
        {"name":"lo","context":"init_t"}
      ],
      "packet": [
        {"prot":"tcp","source":"10.0.0.0/8","destination":"0.0.0.0/0","sport":"1024-65535","dport":"443","context":"file_t"}
      ]
    }
  },
  "rules": [
    {
      "subject": "domain",
      "type_transition": [
        {"object":"file_t","class":"process","target":"init_t"}
      ]
    },
    {
      "subject": "init_t",
      "teac": [
        {"object":"file_t","class":"file","operation":["read","write"]}
      ]
    }
  ]
}
)";

constexpr char kSmallPolicyStats[] =
    "bytes 209\n"
    "symbols 3\n"
    "initial_sids 2\n"
    "netifs 2\n"
    "packets 1\n"
    "file_contexts 1\n"
    "typeattrs 3\n"
    "typeattr_values 4\n"
    "teac_rules 1\n"
    "type_transition_rules 1\n";

TEST_F(Polcdump, EachFormOfOutput) {
  const std::string path = WritePolicy(WriteImage(SmallPolicyImage()));
  const struct {
    std::vector<std::string> args;
    const char* expected;
  } kForms[] = {{{path}, kSmallPolicyListing},
                {{"--json", path}, kSmallPolicySource},
                {{"-j", path}, kSmallPolicySource},
                {{path, "--stats"}, kSmallPolicyStats},
                {{"-s", path}, kSmallPolicyStats}};
  for (const auto& form : kForms) {
    const RunResult run = RunPolcdump(form.args);
    EXPECT_EQ(run.exitStatus, 0) << form.args[0];
    EXPECT_EQ(run.out, form.expected) << form.args[0];
    EXPECT_EQ(run.err, "") << form.args[0];
  }
}

// An image that reads but that no policy source produces: the listing shows
// what it can, --json names the first obstacle.
struct CraftedCase {
  const char* name;
  std::function<void(PolicyImage&)> craft;
  const char* listingLine;  // expected among the listing's lines
  const char* jsonError;    // expected after "no policy source compiles to this binary: "
};

const CraftedCase kCraftedCases[] = {
    {"unknown initial sid", [](PolicyImage& p) { p.initialSids[0].sid = 7; }, "\tsid#7 file_t",
     "initial sid 0: unknown sid 7"},
    {"sid context without symbol", [](PolicyImage& p) { p.initialSids[1].type = 9; }, "\tkernel #9",
     "initial sid 1: no symbol 9"},
    {"initial sids in name order",
     [](PolicyImage& p) { std::swap(p.initialSids[0], p.initialSids[1]); }, "\tkernel init_t",
     "initial sid 1: not in the order polc writes (descending, no repeats)"},
    {"netif context without symbol", [](PolicyImage& p) { p.netifs[1].type = 3; }, "\teth0 #3",
     "netif 1: no symbol 3"},
    {"netifs in name order", [](PolicyImage& p) { std::swap(p.netifs[0], p.netifs[1]); },
     "\tlo init_t", "netif 1: not in the order polc writes (descending, no repeats)"},
    {"prefix length 33", [](PolicyImage& p) { p.packets[0].sourceMask = 33; },
     "\ttcp 10.0.0.0/33 port 1024-65535 -> 0.0.0.0/0 port 443 file_t",
     "packet 0: prefix length above 32"},
    {"reversed port range", [](PolicyImage& p) { p.packets[0].dportEnd = 80; },
     "\ttcp 10.0.0.0/8 port 1024-65535 -> 0.0.0.0/0 port 443-80 file_t",
     "packet 0: port range ends before it starts"},
    {"protocol without name", [](PolicyImage& p) { p.packets[0].protocol = 253; },
     "\tprotocol#253 10.0.0.0/8 port 1024-65535 -> 0.0.0.0/0 port 443 file_t",
     "packet 0: no protocol name for number 253"},
    {"relative file path", [](PolicyImage& p) { p.fileContexts[0].path = "etc/app.conf"; },
     "\tetc/app.conf file_t", "file context \"etc/app.conf\": path not acceptable to polc"},
    {"file context without symbol", [](PolicyImage& p) { p.fileContexts[0].context = "etc_t"; },
     "\t/etc/app.conf etc_t", "file context \"/etc/app.conf\": context \"etc_t\" is no symbol"},
    {"typeattr without itself", [](PolicyImage& p) { p.typeAttrs[0] = {2}; }, "\tfile_t: domain",
     "typeattr entry 0: does not list the symbol itself"},
    {"typeattr out of name order",
     [](PolicyImage& p) {
       p.typeAttrs[1] = {1, 2};
     },
     "\tinit_t: init_t domain", "typeattr entry 1: members are not in ascending name order"},
    {"unknown class", [](PolicyImage& p) { p.rules[0].key.tclass = 31; },
     "\tteac init_t file_t class#31 0x10 0x20",
     "rule \"teac init_t file_t class#31 0x10 0x20\": unknown class 31"},
    {"operation bit without name", [](PolicyImage& p) { p.rules[0].datum = 0x80010; },
     "\tteac init_t file_t file read 0x80000",
     "rule \"teac init_t file_t file read 0x80000\": operation bit 0x80000 is not defined "
     "for class file"},
    {"unknown rule kind", [](PolicyImage& p) { p.rules[0].key.specified = 3; },
     "\trule#3 init_t file_t file 0x30", "rule \"rule#3 init_t file_t file 0x30\": unknown kind 3"},
    {"transition target without symbol", [](PolicyImage& p) { p.rules[1].datum = 5; },
     "\ttype_transition domain file_t process #5",
     "rule \"type_transition domain file_t process #5\": target 5 is no symbol"},
    {"invalid symbol name", [](PolicyImage& p) { p.symbols[0].name = "file t"; }, "\t0 file t",
     "symbol 0: \"file t\" is not a valid context name"},
    {"value given twice", [](PolicyImage& p) { p.symbols[2].value = 1; },
     "\ttype_transition #2 file_t process init_t", "symbol values are not 0 to N - 1, each once"},
    {"three name runs",
     [](PolicyImage& p) {
       p.symbols[0].name = "x_t";
       p.fileContexts[0].context = "x_t";
     },
     "\t0 x_t", "symbol names do not form two ascending runs (types, then attributes)"},
    {"version 2", [](PolicyImage& p) { p.version = 2; }, "version 2", "version 2"},
    {"unknown flag", [](PolicyImage& p) { p.flags |= 0x40; },
     "flags 0x5f initial_sid netif packet file_context typeattr unknown:0x40",
     "unknown flag bits 0x40"},
};

TEST_F(Polcdump, ControlBytesAreEscapedInTheListingAndKeptInTheSource) {
  PolicyImage image = SmallPolicyImage();
  image.netifs[0].name = "l\x01o";
  const std::string path = WritePolicy(WriteImage(image));
  const RunResult listing = RunPolcdump({path});
  EXPECT_NE(listing.out.find("\n\tl\\x01o init_t\n"), std::string::npos) << listing.out;
  const RunResult json = RunPolcdump({"--json", path});
  EXPECT_EQ(json.exitStatus, 0);
  EXPECT_NE(json.out.find(R"({"name":"l\u0001o","context":"init_t"})"), std::string::npos)
      << json.out;
}

TEST_F(Polcdump, CraftedImagesAreListedButNotTurnedIntoSources) {
  for (const CraftedCase& crafted : kCraftedCases) {
    PolicyImage image = SmallPolicyImage();
    crafted.craft(image);
    const std::string path = WritePolicy(WriteImage(image));
    const RunResult listing = RunPolcdump({path});
    EXPECT_EQ(listing.exitStatus, 0) << crafted.name;
    const std::vector<std::string> lines = polc_test::Lines(listing.out);
    EXPECT_NE(std::find(lines.begin(), lines.end(), crafted.listingLine), lines.end())
        << crafted.name << "\n"
        << listing.out;
    const RunResult json = RunPolcdump({"--json", path});
    EXPECT_EQ(json.exitStatus, 1) << crafted.name;
    EXPECT_EQ(json.out, "") << crafted.name;
    EXPECT_EQ(json.err, "polcdump: " + path + ": no policy source compiles to this binary: " +
                            crafted.jsonError + "\n")
        << crafted.name;
  }
}

// Byte-level changes to the small policy's image. Its symbol records are
// 14 bytes each, from offset 24: u32 length, u32 value, 6 name bytes.
constexpr size_t kFirstSymbolRecord = 24;
constexpr size_t kSymbolRecordSize = 14;

void PutU32At(std::vector<uint8_t>& bytes, size_t offset, uint32_t value) {
  for (size_t i = 0; i < 4; ++i) bytes[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

// Unreadable images fail with section and offset; the last two read, and
// only --json refuses them.
struct ByteCase {
  const char* name;
  std::function<void(std::vector<uint8_t>&)> change;
  const char* error;  // expected after "polcdump: <path>: "
  bool readable = false;
};

const ByteCase kByteCases[] = {
    {"19 bytes", [](std::vector<uint8_t>& b) { b.resize(19); },
     "not a valid binary policy: file of 19 bytes is shorter than the 20-byte header"},
    {"empty file", [](std::vector<uint8_t>& b) { b.clear(); },
     "not a valid binary policy: file of 0 bytes is shorter than the 20-byte header"},
    {"magic", [](std::vector<uint8_t>& b) { PutU32At(b, 0, 0x12345678); },
     "not a valid binary policy: Mismatched magic number (magic=0x12345678): invalid or "
     "truncated data (status -22); reading stopped at offset 20 of 209 bytes"},
    {"symbol table count", [](std::vector<uint8_t>& b) { PutU32At(b, 12, 2); },
     "not a valid binary policy: Mismatched symbol or object count (symCnt=2, objCnt=3): "
     "invalid or truncated data (status -22); reading stopped at offset 20 of 209 bytes"},
    {"symbol value out of range",
     [](std::vector<uint8_t>& b) { PutU32At(b, kFirstSymbolRecord + 4, 3); },
     "not a valid binary policy: Read symbol table failed: a value out of range, or memory "
     "exhausted (status -12); reading stopped at offset 32 of 209 bytes"},
    {"repeated symbol name",
     [](std::vector<uint8_t>& b) {
       std::copy_n(b.begin() + kFirstSymbolRecord + 8, 6,
                   b.begin() + kFirstSymbolRecord + kSymbolRecordSize + 8);
     },
     "not a valid binary policy: Read symbol table failed: a repeated name (status -17); "
     "reading stopped at offset 52 of 209 bytes"},
    {"symbol name length 0", [](std::vector<uint8_t>& b) { PutU32At(b, kFirstSymbolRecord, 0); },
     "not a valid binary policy: Read symbol table failed: invalid or truncated data (status "
     "-22); reading stopped at offset 32 of 209 bytes"},
    {"symbol name past the end",
     [](std::vector<uint8_t>& b) { PutU32At(b, kFirstSymbolRecord, 0xFFFFFFFE); },
     "not a valid binary policy: Read symbol table failed: invalid or truncated data (status "
     "-22); reading stopped at offset 32 of 209 bytes"},
    {"trailing bytes", [](std::vector<uint8_t>& b) { b.push_back('x'), b.push_back('y'); },
     "no policy source compiles to this binary: 2 bytes follow the rule table", true},
    {"symbols out of hash order",
     [](std::vector<uint8_t>& b) {
       std::swap_ranges(b.begin() + kFirstSymbolRecord,
                        b.begin() + kFirstSymbolRecord + kSymbolRecordSize,
                        b.begin() + kFirstSymbolRecord + kSymbolRecordSize);
     },
     "no policy source compiles to this binary: records are not in the order or form that "
     "polc writes them",
     true},
};

TEST_F(Polcdump, ChangedBytesAreRefusedWithTheirCause) {
  for (const ByteCase& changed : kByteCases) {
    std::vector<uint8_t> bytes = WriteImage(SmallPolicyImage());
    changed.change(bytes);
    const std::string path = WritePolicy(bytes);
    for (const std::string form : {"--stats", "--json"}) {
      const RunResult run = RunPolcdump({form, path});
      if (changed.readable && form == "--stats") {
        EXPECT_EQ(run.exitStatus, 0) << changed.name;
        continue;
      }
      EXPECT_EQ(run.exitStatus, 1) << changed.name;
      EXPECT_EQ(run.out, "") << changed.name;
      EXPECT_EQ(run.err, "polcdump: " + path + ": " + changed.error + "\n") << changed.name;
    }
  }
}

TEST_F(Polcdump, EveryTruncationIsRefused) {
  const std::vector<uint8_t> bytes = WriteImage(SmallPolicyImage());
  const std::string prefix = "polcdump: " + dir_.Path("cut.bin") + ": not a valid binary policy: ";
  for (size_t size = 0; size < bytes.size(); ++size) {
    const std::string path =
        WritePolicy(std::vector<uint8_t>(bytes.begin(), bytes.begin() + size), "cut.bin");
    const RunResult run = RunPolcdump({path});
    EXPECT_EQ(run.exitStatus, 1) << size;
    EXPECT_EQ(run.out, "") << size;
    EXPECT_EQ(run.err.rfind(prefix, 0), 0u) << size << ": " << run.err;
  }
}

TEST_F(Polcdump, CommandLine) {
  const std::string policy = WritePolicy(WriteImage(SmallPolicyImage()));
  const std::string usage =
      "Usage: polcdump [options] <policy file>\n"
      "Options:\n"
      "  -j, --json     Print a policy source that polc compiles to the same binary\n"
      "  -s, --stats    Print the number of entries of each section\n"
      "  -h, --help     Print this text\n";
  const struct {
    std::vector<std::string> args;
    int exitStatus;
    std::string out;
    std::string err;
  } kRuns[] = {
      {{"-h"}, 0, usage, ""},
      {{"--help", policy}, 0, usage, ""},
      {{}, 1, "", "polcdump: expected one policy file\n" + usage},
      {{policy, policy}, 1, "", "polcdump: expected one policy file\n" + usage},
      {{"--json", "--stats", policy},
       1,
       "",
       "polcdump: --json and --stats exclude each other\n" + usage},
      {{"-x", policy}, 1, "", std::string(POLCDUMP_BINARY) + ": invalid option -- 'x'\n" + usage},
      {{dir_.Path("missing.bin")},
       1,
       "",
       "polcdump: " + dir_.Path("missing.bin") + ": cannot read: No such file or directory\n"},
      {{dir_.path()}, 1, "", "polcdump: " + dir_.path() + ": cannot read: Is a directory\n"},
      {{"/dev/zero"},
       1,
       "",
       "polcdump: /dev/zero: cannot read: larger than 67108864 bytes, the most polc writes\n"},
  };
  for (const auto& run : kRuns) {
    const RunResult result = RunPolcdump(run.args);
    const std::string args = run.args.empty() ? "(none)" : run.args[0];
    EXPECT_EQ(result.exitStatus, run.exitStatus) << args;
    EXPECT_EQ(result.out, run.out) << args;
    EXPECT_EQ(result.err, run.err) << args;
  }
}

TEST_F(Polcdump, FailedOutputIsAnError) {
  const std::string policy = WritePolicy(WriteImage(SmallPolicyImage()));
  const RunResult run =
      RunProgram("/bin/sh", {"-c", std::string(POLCDUMP_BINARY) + " '" + policy + "' >/dev/full"});
  EXPECT_EQ(run.exitStatus, 1);
  EXPECT_EQ(run.err, "polcdump: standard output: write failed\n");
}

}  // namespace

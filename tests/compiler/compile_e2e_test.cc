// polc end to end: policy sources in, policy binary, map file and log out.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/compiler/compiler_test_support.h"
#include "tests/support/polc_test.h"

namespace polc_test {
namespace {

// The compiler's lines of a successful run: the population steps in
// between, then "Generating policy binary", with -m "Generating policy map
// file", then "Done".
std::vector<std::string> SuccessLines(const std::vector<std::string>& populating,
                                      const std::string& output, const std::string& map = "") {
  std::vector<std::string> lines = {"[INFO][VaroCompiler][Populating rule database]",
                                    "[INFO][VaroCompiler][Sorting the type fields]"};
  for (const std::string& step : populating) {
    lines.push_back("[INFO][VaroCompiler][Populating " + step + "]");
  }
  lines.push_back("[INFO][VaroCompiler][Generating policy binary][path=" + output + "]");
  if (!map.empty()) {
    lines.push_back("[INFO][VaroCompiler][Generating policy map file][path=" + map + "]");
  }
  lines.push_back("[INFO][VaroCompiler][Done]");
  return lines;
}

// Compiles the given sources (name -> JSON) in a fresh directory into
// out/policy.bin, with -m when `map` is set.
struct Compiled {
  TempDir dir;
  RunResult run;
  std::string Binary() const { return ReadFile(dir.Path("out/policy.bin")); }
  std::string Map() const { return ReadFile(dir.Path("out/policy.map")); }
};

void CompileSources(Compiled& compiled,
                    const std::vector<std::pair<std::string, std::string>>& sources,
                    bool map = true) {
  std::vector<std::string> args = {"-c", "-o", compiled.dir.Path("out/policy.bin")};
  if (map) args.push_back("-m");
  compiled.dir.Write("out/.keep", "");
  for (const auto& [name, json] : sources) args.push_back(compiled.dir.Write(name, json));
  compiled.run = RunPolc(args);
}

// The map example: two types, an attribute, one grant and one transition.
const char kMapExample[] = R"({
  "declarations": {"type": ["init_t", "file_t"], "attr": ["domain"]},
  "rules": [{"subject": "init_t",
             "teac": [{"object": "file_t", "class": "file", "operation": ["write", "read"]}],
             "type_transition": [{"object": "file_t", "class": "process", "target": "init_t"}]}]
})";

TEST(CompileEndToEnd, MapExampleLineForLine) {
  Compiled compiled;
  CompileSources(compiled, {{"policy.json", kMapExample}});
  ASSERT_EQ(compiled.run.exitStatus, 0) << compiled.run.out;
  EXPECT_EQ(compiled.Map(),
            "Type map:\n\tfile_t:0\n\tinit_t:1\n\n"
            "Attr map:\n\tdomain:2\n\n"
            "Grant rule map:\n\tinit_t file_t file read write\n\t1 0 2 0x30\n\n"
            "Transition rule map:\n\tinit_t file_t process init_t\n\t1 0 1 1\n\n");
  const ReadBackPolicy policy = ReadBack(compiled.Binary());
  EXPECT_EQ(policy.symbols,
            (std::map<std::string, uint32_t>{{"file_t", 0}, {"init_t", 1}, {"domain", 2}}));
  EXPECT_EQ(policy.rules,
            (std::map<RuleRecordKey, uint32_t>{{{1, 0, 2, 1}, 0x30}, {{1, 0, 1, 2}, 1}}));
  EXPECT_EQ(policy.typeAttrs, (std::vector<std::vector<uint16_t>>{{0}, {1}, {2}}));
  EXPECT_EQ(policy.flags, 0x10u);
}

TEST(CompileEndToEnd, OneTypePolicyIsTheWorked41ByteImage) {
  Compiled compiled;
  CompileSources(compiled, {{"a.json", R"({"declarations": {"type": ["a"]}})"}}, false);
  ASSERT_EQ(compiled.run.exitStatus, 0) << compiled.run.out;
  const unsigned char expected[] = {
      0x4F, 0x52, 0x41, 0x56, 0x01, 0x00, 0x00, 0x00, 0x10, 0x00, 0x00, 0x00,  // magic, 1, flags
      0x01, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00,                          // 1, 3
      0x01, 0x00, 0x00, 0x00,                                                  // symbol count
      0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x61,                    // "a" = 0
      0x01, 0x00, 0x00, 0x00,                                                  // typeattr {0}
      0x00, 0x00, 0x00, 0x00,                                                  // no rules
  };
  EXPECT_EQ(compiled.Binary(),
            std::string(reinterpret_cast<const char*>(expected), sizeof expected));
  EXPECT_FALSE(FileExists(compiled.dir.Path("out/policy.map")));
  const ReadBackPolicy policy = ReadBack(compiled.Binary());
  EXPECT_EQ(policy.symbols, (std::map<std::string, uint32_t>{{"a", 0}}));
  EXPECT_EQ(policy.typeAttrs, (std::vector<std::vector<uint16_t>>{{0}}));
}

// Policies that label only some kinds of objects: the flags, the blocks and
// the populating lines follow exactly the kinds present; lists come out in
// reverse model order.
struct LabelingCase {
  const char* name;
  std::string labeling;  // members of "labeling"
  uint32_t flags;
  std::vector<std::string> populating;  // lines between "type" and "typeattr"
  std::vector<std::pair<uint32_t, uint16_t>> initialSids = {};
  std::vector<std::pair<std::string, uint16_t>> netifs = {};
  std::vector<PacketRecord> packets = {};
  std::map<std::string, std::string> fileContexts = {};
};

const PacketRecord kHttp = {0, 0, 0xC0A80100, 24, 1024, 65535, 80, 80, 6, 1};
const PacketRecord kHttps = {0, 0, 0xC0A80100, 24, 1024, 65535, 443, 443, 6, 0};
const char kPackets[] = R"("packet": [
    {"prot": "tcp", "source": "0.0.0.0/0", "destination": "192.168.1.0/24",
     "sport": "1024-65535", "dport": "80", "context": "b_t"},
    {"prot": "tcp", "source": "0.0.0.0/0", "destination": "192.168.1.0/24",
     "sport": "1024-65535", "dport": "443", "context": "a_t"}])";

class LabelingKinds : public testing::TestWithParam<LabelingCase> {};

TEST_P(LabelingKinds, FlagsBlocksAndLinesFollowTheKindsPresent) {
  const LabelingCase& row = GetParam();
  Compiled compiled;
  CompileSources(compiled, {{"labels.json", std::string(R"({"declarations": {"type": ["b_t", "a_t"],
      "labeling": {)") + row.labeling + "}}}"}},
                 false);
  ASSERT_EQ(compiled.run.exitStatus, 0) << compiled.run.out;
  std::vector<std::string> populating = {"type][count=2"};
  populating.insert(populating.end(), row.populating.begin(), row.populating.end());
  populating.insert(populating.end(),
                    {"typeattr][count=2", "grant rule][count=0", "transition rule][count=0"});
  EXPECT_EQ(CompilerLines(compiled.run),
            SuccessLines(populating, compiled.dir.Path("out/policy.bin")));
  const ReadBackPolicy policy = ReadBack(compiled.Binary());
  EXPECT_EQ(policy.flags, row.flags);
  EXPECT_EQ(policy.initialSids, row.initialSids);
  EXPECT_EQ(policy.netifs, row.netifs);
  EXPECT_EQ(policy.packets, row.packets);
  EXPECT_EQ(policy.fileContexts, row.fileContexts);
}

INSTANTIATE_TEST_SUITE_P(
    CompileEndToEnd, LabelingKinds,
    testing::Values(
        LabelingCase{.name = "NetifsOnly",
                     .labeling = R"("netif": [{"name": "eth0", "context": "a_t"},
                                              {"name": "lo", "context": "b_t"}])",
                     .flags = 0x12,
                     .populating = {"netif][count=2"},
                     .netifs = {{"lo", 1}, {"eth0", 0}}},
        LabelingCase{.name = "InitialSidsOnly",
                     .labeling = R"("reserved_sid": [{"sid": "kernel", "context": "a_t"},
                                                     {"sid": "proc", "context": "b_t"},
                                                     {"sid": "varo", "context": "a_t"}])",
                     .flags = 0x11,
                     .populating = {"initial sid][count=3"},
                     .initialSids = {{2, 0}, {4, 1}, {1, 0}}},
        LabelingCase{.name = "PacketsOnly",
                     .labeling = kPackets,
                     .flags = 0x14,
                     .populating = {"packet][count=2"},
                     .packets = {kHttps, kHttp}},
        LabelingCase{.name = "FilesOnly",
                     .labeling = R"("file": [{"path": "/usr/bin", "context": "b_t"},
                                             {"path": "/etc", "context": "b_t"}])",
                     .flags = 0x18,
                     .populating = {"file][count=2"},
                     .fileContexts = {{"/etc", "b_t"}, {"/usr/bin", "b_t"}}},
        LabelingCase{.name = "AllKinds",
                     .labeling = std::string(R"("file": [{"path": "/etc", "context": "a_t"}],
                                       "netif": [{"name": "lo", "context": "b_t"}],
                                       "reserved_sid": [{"sid": "unlabeled", "context": "b_t"}],)") +
                                 kPackets,
                     .flags = 0x1F,
                     .populating = {"initial sid][count=1", "netif][count=1", "packet][count=2",
                                    "file][count=1"},
                     .initialSids = {{3, 1}},
                     .netifs = {{"lo", 1}},
                     .packets = {kHttps, kHttp},
                     .fileContexts = {{"/etc", "a_t"}}}),
    [](const testing::TestParamInfo<LabelingCase>& info) { return info.param.name; });

TEST(CompileEndToEnd, TypesNumberedByByteOrderThenAttributes) {
  Compiled compiled;
  CompileSources(compiled, {{"names.json", R"({"declarations": {
      "type": ["b", "B", "a.b", "a", "Zed", "abc", "ab"], "attr": ["z", "c"]}})"}});
  ASSERT_EQ(compiled.run.exitStatus, 0) << compiled.run.out;
  EXPECT_EQ(compiled.Map(),
            "Type map:\n\tB:0\n\tZed:1\n\ta:2\n\ta.b:3\n\tab:4\n\tabc:5\n\tb:6\n\n"
            "Attr map:\n\tc:7\n\tz:8\n\nGrant rule map:\n\nTransition rule map:\n\n");
  std::map<std::string, uint32_t> symbols;
  for (const char* name : {"B", "Zed", "a", "a.b", "ab", "abc", "b", "c", "z"}) {
    symbols.emplace(name, static_cast<uint32_t>(symbols.size()));
  }
  EXPECT_EQ(ReadBack(compiled.Binary()).symbols, symbols);
}

TEST(CompileEndToEnd, TypeAttributeArrayHoldsEveryNameWithItself) {
  Compiled compiled;
  CompileSources(compiled, {{"attrs.json", R"({"declarations": {
      "type": ["u", "t"], "attr": ["lonely", "a2", "a1"],
      "typeattr": {"t": ["a2", "a1"], "a1": ["a2"]}}})"}});
  ASSERT_EQ(compiled.run.exitStatus, 0) << compiled.run.out;
  // t=0 u=1 a1=2 a2=3 lonely=4; values in ascending name order of the set.
  const ReadBackPolicy policy = ReadBack(compiled.Binary());
  EXPECT_EQ(policy.typeAttrs,
            (std::vector<std::vector<uint16_t>>{{2, 3, 0}, {1}, {2, 3}, {3}, {4}}));
  EXPECT_EQ(policy.flags, 0x10u);
}

TEST(CompileEndToEnd, GrantMasksAndTransitionTargets) {
  Compiled compiled;
  CompileSources(compiled, {{"rules.json", R"({
    "declarations": {"type": ["init_t", "file_t", "sock_t"], "attr": ["domain"]},
    "rules": [
      {"subject": "init_t",
       "teac": [{"object": "file_t", "class": "file", "operation": ["write", "read"]},
                {"object": "sock_t", "class": "tcp_socket", "operation": []},
                {"object": "file_t", "class": "dir", "operation": ["rmdir", "create"]}],
       "type_transition": [{"object": "file_t", "class": "file", "target": "file_t"},
                           {"object": "sock_t", "class": "tcp_socket", "target": "domain"}]},
      {"subject": "domain",
       "teac": [{"object": "init_t", "class": "process", "operation": ["gettaskmon", "fork"]}]},
      {"subject": "init_t",
       "teac": [{"object": "file_t", "class": "file", "operation": ["open"]}]}]})"}});
  ASSERT_EQ(compiled.run.exitStatus, 0) << compiled.run.out;
  // file_t=0 init_t=1 sock_t=2 domain=3; file=2, dir=3, process=1, tcp_socket=8.
  EXPECT_EQ(ReadBack(compiled.Binary()).rules,
            (std::map<RuleRecordKey, uint32_t>{{{1, 0, 2, 1}, 0x38},
                                               {{1, 2, 8, 1}, 0x0},
                                               {{1, 0, 3, 1}, 0x801},
                                               {{3, 1, 1, 1}, 0x10001},
                                               {{1, 0, 2, 2}, 0},
                                               {{1, 2, 8, 2}, 3}}));
  EXPECT_EQ(compiled.Map(),
            "Type map:\n\tfile_t:0\n\tinit_t:1\n\tsock_t:2\n\n"
            "Attr map:\n\tdomain:3\n\n"
            "Grant rule map:\n"
            "\tdomain init_t process fork gettaskmon\n\t3 1 1 0x10001\n"
            "\tinit_t file_t dir create rmdir\n\t1 0 3 0x801\n"
            "\tinit_t file_t file open read write\n\t1 0 2 0x38\n"
            "\tinit_t sock_t tcp_socket\n\t1 2 8 0x0\n\n"
            "Transition rule map:\n"
            "\tinit_t file_t file file_t\n\t1 0 2 0\n"
            "\tinit_t sock_t tcp_socket domain\n\t1 2 8 3\n\n");
  const std::vector<std::string> lines = CompilerLines(compiled.run);
  EXPECT_NE(
      std::find(lines.begin(), lines.end(), "[INFO][VaroCompiler][Populating grant rule][count=4]"),
      lines.end());
}

TEST(CompileEndToEnd, EmptyPolicyHasOnlyTheSectionHeaders) {
  Compiled compiled;
  CompileSources(compiled, {{"empty.json", R"({"rules": []})"}});
  ASSERT_EQ(compiled.run.exitStatus, 0) << compiled.run.out;
  EXPECT_EQ(compiled.Map(),
            "Type map:\n\nAttr map:\n\nGrant rule map:\n\nTransition rule map:\n\n");
  EXPECT_EQ(CompilerLines(compiled.run),
            SuccessLines({"type][count=0", "grant rule][count=0", "transition rule][count=0"},
                         compiled.dir.Path("out/policy.bin"), compiled.dir.Path("out/policy.map")));
  const ReadBackPolicy policy = ReadBack(compiled.Binary());
  EXPECT_EQ(policy.flags, 0u);
  EXPECT_TRUE(policy.symbols.empty());
  EXPECT_TRUE(policy.rules.empty());
}

TEST(CompileEndToEnd, RelativeOutputPutsTheMapInTheWorkingDirectory) {
  TempDir dir;
  const std::string source = dir.Write("src/policy.json", kMapExample);
  RunOptions inDir;
  inDir.workDir = dir.path();
  const RunResult run = RunPolc({"-c", "-m", "-o", "policy.bin", source}, inDir);
  ASSERT_EQ(run.exitStatus, 0) << run.out;
  EXPECT_EQ(CompilerLines(run).end()[-2],
            "[INFO][VaroCompiler][Generating policy map file][path=policy.map]");
  EXPECT_TRUE(FileExists(dir.Path("policy.map")));
  EXPECT_EQ(ReadBack(ReadFile(dir.Path("policy.bin"))).symbols.size(), 3u);
}

// Copies the built polc and the shared libraries it loads into `root`, each
// at its own path, so that polc can run chrooted there.
bool InstallPolc(const std::string& root) {
  std::vector<std::string> files = {POLC_BINARY};
  FILE* ldd = popen(("ldd " + std::string(POLC_BINARY)).c_str(), "r");
  if (ldd == nullptr) return false;
  char line[4096];
  while (std::fgets(line, sizeof line, ldd) != nullptr) {
    const std::string text(line);
    const size_t start = text.find('/');
    if (start != std::string::npos)
      files.push_back(text.substr(start, text.find(' ', start) - start));
  }
  pclose(ldd);
  for (const std::string& file : files) {
    std::error_code error;
    std::filesystem::create_directories(root + std::filesystem::path(file).parent_path().string());
    std::filesystem::copy_file(file, root + file, error);
    if (error) return false;
  }
  return true;
}

TEST(CompileEndToEnd, OutputInTheRootDirectoryPutsTheMapThere) {
  if (geteuid() != 0) GTEST_SKIP() << "chroot needs root";
#if defined(__has_feature)
#if __has_feature(address_sanitizer)
  GTEST_SKIP() << "the sanitizer runtime needs /proc, which the new root lacks";
#endif
#endif
  TempDir root;
  ASSERT_TRUE(InstallPolc(root.path()));
  root.Write("p.json", kMapExample);
  RunOptions chrooted;
  chrooted.rootDir = root.path();
  const RunResult run = RunPolc({"-c", "-m", "-o", "/policy.bin", "/p.json"}, chrooted);
  ASSERT_EQ(run.exitStatus, 0) << run.out << run.err;
  EXPECT_EQ(CompilerLines(run).end()[-2],
            "[INFO][VaroCompiler][Generating policy map file][path=/policy.map]");
  EXPECT_EQ(ReadBack(ReadFile(root.Path("policy.bin"))).symbols.size(), 3u);
  EXPECT_EQ(ReadFile(root.Path("policy.map")).substr(0, 10), "Type map:\n");
}

TEST(CompileEndToEnd, ExistingOutputsAreReplacedThroughSymbolicLinks) {
  Compiled compiled;
  compiled.dir.Write("real/policy.bin", std::string(5000, 'x'));
  compiled.dir.Write("out/policy.map", std::string(5000, 'y'));
  ASSERT_EQ(symlink("../real/policy.bin", compiled.dir.Path("out/policy.bin").c_str()), 0);
  CompileSources(compiled, {{"policy.json", kMapExample}});
  ASSERT_EQ(compiled.run.exitStatus, 0) << compiled.run.out;
  // The link stays a link; the file it points to holds the new policy.
  struct stat link {};
  ASSERT_EQ(lstat(compiled.dir.Path("out/policy.bin").c_str(), &link), 0);
  EXPECT_TRUE(S_ISLNK(link.st_mode));
  EXPECT_EQ(ReadBack(ReadFile(compiled.dir.Path("real/policy.bin"))).symbols.size(), 3u);
  EXPECT_EQ(compiled.Map().substr(0, 10), "Type map:\n");
}

TEST(CompileEndToEnd, ReplacedPolicyKeepsItsModeAndOwner) {
  Compiled compiled;
  const std::string output = compiled.dir.Write("out/policy.bin", "old");
  ASSERT_EQ(chmod(output.c_str(), 0640), 0);
  // Only root may hand a file to someone else; elsewhere the owner is ours.
  const bool root = geteuid() == 0;
  const uid_t owner = root ? 12345 : geteuid();
  const gid_t group = root ? 23456 : getegid();
  ASSERT_EQ(chown(output.c_str(), owner, group), 0);
  CompileSources(compiled, {{"policy.json", kMapExample}}, false);
  ASSERT_EQ(compiled.run.exitStatus, 0) << compiled.run.out;
  struct stat status {};
  ASSERT_EQ(stat(output.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0640u);
  EXPECT_EQ(status.st_uid, owner);
  EXPECT_EQ(status.st_gid, group);
  EXPECT_EQ(ReadBack(compiled.Binary()).symbols.size(), 3u);
}

TEST(CompileEndToEnd, DeviceOutputIsWrittenInPlace) {
  TempDir dir;
  const RunResult run = RunPolc({"-c", "-o", "/dev/null", dir.Write("p.json", kMapExample)});
  ASSERT_EQ(run.exitStatus, 0) << run.out;
  EXPECT_EQ(CompilerLines(run).back(), "[INFO][VaroCompiler][Done]");
}

}  // namespace
}  // namespace polc_test

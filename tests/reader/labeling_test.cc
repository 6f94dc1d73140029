// End-to-end tests of the labeling section: files, initial sids, network
// interfaces and packets, read through the built polc.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "tests/support/polc_test.h"

namespace {

using polc_test::Lines;
using polc_test::RunPolicy;
using polc_test::RunResult;
using polc_test::StripTimestamps;
using polc_test::TempDir;
using Trace = std::vector<std::string>;

// The ERROR lines of a run, without time stamp and level.
Trace ErrorLines(const std::string& out) {
  Trace errors;
  for (const std::string& line : Lines(StripTimestamps(out))) {
    if (line.starts_with("[ERROR]")) {
      errors.push_back(line.substr(sizeof "[ERROR]" - 1));
    }
  }
  return errors;
}

Trace Concat(Trace first, const Trace& second) {
  first.insert(first.end(), second.begin(), second.end());
  return first;
}

// A policy file that declares the contexts the labeling below uses.
std::string PolicyWithLabeling(const std::string& labeling) {
  return R"({"declarations": {"type": ["file_t", "net_t"], "attr": ["sid_a"], "labeling": )" +
         labeling + "}}";
}

std::string PacketEntry(const std::string& prot, const std::string& source,
                        const std::string& destination, const std::string& sport,
                        const std::string& dport, const std::string& context = "net_t") {
  return R"({"prot": ")" + prot + R"(", "source": ")" + source + R"(", "destination": ")" +
         destination + R"(", "sport": ")" + sport + R"(", "dport": ")" + dport +
         R"(", "context": ")" + context + R"("})";
}

std::string PacketLabeling(const std::vector<std::string>& entries) {
  std::string array = "[";
  for (const std::string& entry : entries) {
    array += (array.size() > 1 ? ", " : "") + entry;
  }
  return R"({"packet": )" + array + "]}";
}

std::string TcpPacket(const std::string& source) {
  return PacketEntry("tcp", source, "10.0.0.0/8", "1024-65535", "80");
}

// The lines that follow a failure inside the labeling object of `path`.
Trace LabelingTrace(const std::string& path) {
  return {
      "[JsonParser][Parse the value failed][key=labeling]",
      "[JsonParser][Parse declarations section failed]",
      "[JsonParser][Parse the value failed][key=declarations]",
      "[JsonParser][Parse declarations or rules failed][file=" + path + "]",
      "[JsonParser][Parse json file failed][file=" + path + "]",
  };
}

// The lines that follow a failure inside one entry of the `section` array.
Trace EntryTrace(const Trace& inner, const std::string& section) {
  return Concat(inner, {"[JsonParser][Parse the value failed][key=" + section + "]",
                        "[JsonParser][Parse labeling section failed]"});
}

class LabelingTest : public testing::Test {
 protected:
  // Runs polc on one file with `labeling`.
  RunResult RunLabeling(const std::string& labeling) {
    return RunPolicy(dir_, {{"policy.json", PolicyWithLabeling(labeling)}});
  }

  void ExpectAccepted(const std::string& labeling) {
    const RunResult result = RunLabeling(labeling);
    EXPECT_EQ(result.exitStatus, 0) << labeling << "\n" << result.out;
    EXPECT_EQ(ErrorLines(result.out), Trace{}) << labeling;
  }

  // Runs one file with `labeling`; `trace(path)` is the whole expected list
  // of ERROR lines.
  template <typename TraceOf>
  void ExpectRefused(const std::string& labeling, TraceOf trace) {
    const RunResult result = RunLabeling(labeling);
    EXPECT_EQ(result.exitStatus, 255) << labeling;
    EXPECT_EQ(ErrorLines(result.out), trace(dir_.Path("policy.json"))) << labeling;
  }

  void ExpectReadFailure(const std::string& labeling, const Trace& inner) {
    ExpectRefused(labeling,
                  [&](const std::string& path) { return Concat(inner, LabelingTrace(path)); });
  }

  void ExpectEntryFailure(const std::string& labeling, const std::string& section,
                          const Trace& inner) {
    ExpectReadFailure(labeling, EntryTrace(inner, section));
  }

  TempDir dir_;
};

TEST_F(LabelingTest, RefusesABadLabelingObject) {
  const struct {
    std::string labeling;
    Trace inner;
  } rows[] = {
      {"{}", {"[JsonParser][Not found the first key]"}},
      {"[]", {"[JsonParser][Not found the first key]"}},
      {R"("file")", {"[JsonParser][Not found the first key]"}},
      {R"({"files": []})", {"[JsonParser][Undefined key][key=files]"}},
      {R"({"file": [], "File": []})", {"[JsonParser][Undefined key][key=File]"}},
      {R"({"netif": [], "netif": []})", {"[JsonParser][Repeat defined key][key=netif]"}},
  };
  for (const auto& row : rows) {
    ExpectReadFailure(
        row.labeling,
        Concat(row.inner, {"[JsonParser][Validate the labeling section key failed]"}));
  }
}

TEST_F(LabelingTest, AcceptsArraysGivenAsOtherValuesOrEmpty) {
  ExpectAccepted(R"({"file": "/etc", "reserved_sid": [], "netif": {}, "packet": 7})");
  ExpectAccepted(R"({"file": [], "reserved_sid": null, "netif": [], "packet": []})");
}

TEST_F(LabelingTest, AcceptsEveryKindWithOneContextForMany) {
  ExpectAccepted(R"({"packet": [)" + TcpPacket("0.0.0.0/0") + R"(],
      "netif": [{"context": "net_t", "name": "eth0"}, {"name": "eth1", "context": "net_t"}],
      "reserved_sid": [{"sid": "kernel", "context": "sid_a"}, {"sid": "varo", "context": "sid_a"},
                       {"sid": "unlabeled", "context": "sid_a"}, {"sid": "proc", "context": "sid_a"}],
      "file": [{"path": "/etc", "context": "file_t"}, {"path": "proc:/self", "context": "file_t"},
               {"path": "/etc/", "context": "file_t"}]})");
}

// The three simple kinds differ only in their key member and messages.
struct SimpleKind {
  std::string section;     // member of the labeling object
  std::string keyMember;   // member that names the labeled thing
  std::string objectName;  // as the incomplete message names the entry
  std::string duplicate;   // duplicate message up to the key
  std::string key;         // a key that passes every check
};

const SimpleKind kSimpleKinds[] = {
    {"file", "path", "file", "[JsonParser][Duplicate file path][path=", "/etc"},
    {"reserved_sid", "sid", "initial sid", "[JsonParser][Duplicate initial sid][sid=", "kernel"},
    {"netif", "name", "netif", "[JsonParser][Duplicate netif name][name=", "eth0"},
};

std::string SimpleLabeling(const SimpleKind& kind, const std::string& entries) {
  return R"({")" + kind.section + R"(": [)" + entries + "]}";
}

std::string SimpleEntry(const SimpleKind& kind, const std::string& key,
                        const std::string& context = R"("file_t")") {
  return R"({")" + kind.keyMember + R"(": ")" + key + R"(", "context": )" + context + "}";
}

TEST_F(LabelingTest, RefusesABadSimpleEntryWithItsIndex) {
  for (const SimpleKind& kind : kSimpleKinds) {
    const std::string good = SimpleEntry(kind, kind.key);
    const std::string keyCheck =
        "[JsonParser][Validate the i-th key in the " + kind.section + " section failed][i=1]";
    const std::string incomplete =
        "[JsonParser][Incomplete the i-th " + kind.objectName + " object][i=1]";
    const struct {
      std::string second;
      Trace inner;
    } rows[] = {
        {"{}", {"[JsonParser][Not found the first key]", keyCheck}},
        {R"("entry")", {"[JsonParser][Not found the first key]", keyCheck}},
        {R"({"context": "file_t", "mode": "0644"})",
         {"[JsonParser][Undefined key][key=mode]", keyCheck}},
        {R"({"context": "file_t", "context": "file_t"})",
         {"[JsonParser][Repeat defined key][key=context]", keyCheck}},
        {R"({"context": "file_t"})", {incomplete}},
        {R"({")" + kind.keyMember + R"(": "x"})", {incomplete}},
        {SimpleEntry(kind, "x", "7"), {incomplete}},
        {SimpleEntry(kind, "x", "null"), {incomplete}},
        {R"({")" + kind.keyMember + R"(": ["x"], "context": "file_t"})", {incomplete}},
        {SimpleEntry(kind, kind.key, R"("net_t")"), {kind.duplicate + kind.key + "]"}},
    };
    for (const auto& row : rows) {
      ExpectEntryFailure(SimpleLabeling(kind, good + ", " + row.second), kind.section, row.inner);
    }
  }
}

TEST_F(LabelingTest, MasksControlCharactersInLoggedTexts) {
  for (const SimpleKind& kind : kSimpleKinds) {
    const std::string entry = SimpleEntry(kind, "a\\u0001b");
    ExpectEntryFailure(SimpleLabeling(kind, entry + ", " + entry), kind.section,
                       {kind.duplicate + "a*b]"});
  }
  ExpectEntryFailure(R"({"file": [{"path": "/a", "context": "file_t", "x\u001b": ""}]})", "file",
                     {"[JsonParser][Undefined key][key=x*]",
                      "[JsonParser][Validate the i-th key in the file section failed][i=0]"});
  ExpectEntryFailure(PacketLabeling({PacketEntry("t\\tcp", "10.0.0.0/8", "10.0.0.0/8", "1", "2")}),
                     "packet", {"[JsonParser][Get protocol failed][protocol=t*cp]"});
  ExpectEntryFailure(PacketLabeling({TcpPacket("10.0.0.0/8\\n")}), "packet",
                     {"[JsonParser][Invalid address][address=10.0.0.0/8*]"});
  ExpectEntryFailure(PacketLabeling({PacketEntry("tcp", "10.0.0.0/8", "10.0.0.0/8", "\\r1", "2")}),
                     "packet", {"[JsonParser][Invalid port range][range=*1]"});
}

TEST_F(LabelingTest, ChecksInitialSidNamesAfterReading) {
  const struct {
    std::string sid;
    std::string logged;
  } rows[] = {{"Kernel", "Kernel"}, {"kernel ", "kernel "},      {"", ""}, {"procs", "procs"},
              {"0", "0"},           {"ker\\u0002nel", "ker*nel"}};
  for (const auto& row : rows) {
    ExpectRefused(R"({"reserved_sid": [{"sid": ")" + row.sid + R"(", "context": "sid_a"}]})",
                  [&](const std::string& path) {
                    return Trace{
                        "[JsonParser][Undefined initial sid string][sid=" + row.logged + "]",
                        "[JsonParser][Validate json file failed][file=" + path + "]"};
                  });
  }
}

TEST_F(LabelingTest, RefusesABadPacketEntry) {
  const std::string good = TcpPacket("192.168.1.0/24");
  const std::string keyCheck =
      "[JsonParser][Validate the i-th key in the packet section failed][i=1]";
  const std::string incomplete = "[JsonParser][Incomplete the i-th packet object][i=1]";
  const std::string addresses = R"("source": "10.0.0.0/8", "destination": "10.0.0.0/8")";
  const std::string allMembers =
      addresses + R"(, "prot": "tcp", "sport": "1", "dport": "2", "context": "net_t")";
  const struct {
    std::string second;
    Trace inner;
  } rows[] = {
      {"{}", {"[JsonParser][Not found the first key]", keyCheck}},
      {"[]", {"[JsonParser][Not found the first key]", keyCheck}},
      {"{" + allMembers + R"(, "port": "3"})", {"[JsonParser][Undefined key][key=port]", keyCheck}},
      {"{" + allMembers + R"(, "sport": "3"})",
       {"[JsonParser][Repeat defined key][key=sport]", keyCheck}},
      {"{" + addresses + R"(, "prot": "tcp", "sport": "1", "dport": 80, "context": "net_t"})",
       {incomplete}},
      {"{" + addresses + R"(, "prot": "tcp", "sport": "1", "dport": "80"})", {incomplete}},
      {"{" + addresses + R"(, "prot": 6, "sport": "1", "dport": "80", "context": "net_t"})",
       {incomplete}},
      // The protocol is looked up before any address is examined.
      {PacketEntry("no-such-protocol", "300.0.0.0/8", "10.0.0.0/8", "1", "2"),
       {"[JsonParser][Get protocol failed][protocol=no-such-protocol]"}},
      {PacketEntry("Tcp", "10.0.0.0/8", "10.0.0.0/8", "1", "2"),
       {"[JsonParser][Get protocol failed][protocol=Tcp]"}},
      {PacketEntry("", "10.0.0.0/8", "10.0.0.0/8", "1", "2"),
       {"[JsonParser][Get protocol failed][protocol=]"}},
      // Source, destination, sport and dport, in this order; the first bad one is reported.
      {PacketEntry("udp", "10.0.0.01/8", "10.0.0/8", "x", "y"),
       {"[JsonParser][Invalid address][address=10.0.0.01/8]"}},
      {PacketEntry("udp", "10.0.0.0/8", "10.0.0.0/33", "x", "y"),
       {"[JsonParser][Invalid address][address=10.0.0.0/33]"}},
      {PacketEntry("udp", "10.0.0.0/8", "10.0.0.0/8", "80-", "y"),
       {"[JsonParser][Invalid port range][range=80-]"}},
      {PacketEntry("udp", "10.0.0.0/8", "10.0.0.0/8", "200-100", "y"),
       {"[JsonParser][Invalid port range][start=200, end=100]"}},
      {PacketEntry("udp", "10.0.0.0/8", "10.0.0.0/8", "80", "65536"),
       {"[JsonParser][Invalid port range][start=65536, end=65536]"}},
      // Equal in all nine fields, however differently written.
      {TcpPacket("192.168.1.0/24"), {"[JsonParser][Duplicate packet key][protocol=6]"}},
      {PacketEntry("TCP", "192.168.1.0/24", "10.0.0.0/8", "01024-65535", "80-80", "file_t"),
       {"[JsonParser][Duplicate packet key][protocol=6]"}},
  };
  for (const auto& row : rows) {
    ExpectEntryFailure(PacketLabeling({good, row.second}), "packet", row.inner);
  }
}

TEST_F(LabelingTest, KeepsPacketsThatDifferInOneField) {
  ExpectAccepted(PacketLabeling({
      PacketEntry("tcp", "10.0.0.0/8", "10.0.0.0/8", "1-2", "3-4"),
      PacketEntry("udp", "10.0.0.0/8", "10.0.0.0/8", "1-2", "3-4"),
      PacketEntry("tcp", "10.0.0.1/8", "10.0.0.0/8", "1-2", "3-4"),
      PacketEntry("tcp", "10.0.0.0/9", "10.0.0.0/8", "1-2", "3-4"),
      PacketEntry("tcp", "10.0.0.0/8", "10.0.0.1/8", "1-2", "3-4"),
      PacketEntry("tcp", "10.0.0.0/8", "10.0.0.0/9", "1-2", "3-4"),
      PacketEntry("tcp", "10.0.0.0/8", "10.0.0.0/8", "0-2", "3-4"),
      PacketEntry("tcp", "10.0.0.0/8", "10.0.0.0/8", "1-3", "3-4"),
      PacketEntry("tcp", "10.0.0.0/8", "10.0.0.0/8", "1-2", "2-4"),
      PacketEntry("tcp", "10.0.0.0/8", "10.0.0.0/8", "1-2", "3-5"),
      PacketEntry("icmp", "0.0.0.0/0", "0.0.0.0/0", "0-65535", "0"),
      PacketEntry("icmp", "0.0.0.0/0", "255.255.255.255/32", "0-65535", "0"),
  }));
}

// Labels the same key in two files: the second fails in the merge.
TEST_F(LabelingTest, RefusesTheSameKeyInTwoFiles) {
  // (labeling, duplicate message)
  std::vector<std::pair<std::string, std::string>> rows = {
      {PacketLabeling({PacketEntry("udp", "10.0.0.0/8", "10.0.0.0/8", "53", "53")}),
       "[JsonParser][Duplicate packet key][protocol=17]"}};
  for (const SimpleKind& kind : kSimpleKinds) {
    rows.emplace_back(SimpleLabeling(kind, SimpleEntry(kind, kind.key)),
                      kind.duplicate + kind.key + "]");
  }
  for (const auto& [labeling, duplicate] : rows) {
    const RunResult result = RunPolicy(dir_, {{"first.json", PolicyWithLabeling(labeling)},
                                              {"second.json", PolicyWithLabeling(labeling)}});
    const std::string second = dir_.Path("second.json");
    EXPECT_EQ(result.exitStatus, 255) << labeling;
    EXPECT_EQ(ErrorLines(result.out),
              (Trace{duplicate, "[JsonParser][Merge json file failed][file=" + second + "]"}))
        << labeling;
  }
}

}  // namespace

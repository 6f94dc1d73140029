// End-to-end tests of the labeling section: files, initial sids, network
// interfaces and packets, read through the built polc.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "tests/reader/reader_run.h"

namespace {

using reader_test::Error;
using reader_test::InDeclarations;
using reader_test::Stage;

// A policy file that declares the contexts the labeling below uses.
std::string PolicyWithLabeling(const std::string& labeling) {
  return R"({"declarations": {"type": ["file_t", "net_t"], "attr": ["sid_a"], "labeling": )" +
         labeling + "}}";
}

// A packet entry from "prot source destination sport dport [context]",
// fields separated by one blank each.
std::string Packet(const std::string& fields) {
  const char* names[] = {"prot", "source", "destination", "sport", "dport", "context"};
  std::string entry = "{";
  size_t begin = 0;
  for (const char* name : names) {
    const size_t end = std::min(fields.find(' ', begin), fields.size());
    const std::string value = begin <= fields.size() ? fields.substr(begin, end - begin) : "net_t";
    entry += std::string(entry.size() > 1 ? ", \"" : "\"") + name + "\": \"" + value + "\"";
    begin = end + 1;
  }
  return entry + "}";
}

std::string PacketLabeling(const std::vector<std::string>& entries) {
  std::string array = "[";
  for (const std::string& entry : entries) {
    array += (array.size() > 1 ? ", " : "") + entry;
  }
  return R"({"packet": )" + array + "]}";
}

std::string TcpPacket(const std::string& source) {
  return Packet("tcp " + source + " 10.0.0.0/8 1024-65535 80");
}

// Each ERROR line of `messages`, in order.
std::string Errors(const std::vector<std::string>& messages) {
  std::string lines;
  for (const std::string& message : messages) lines += Error(message);
  return lines;
}

class LabelingTest : public reader_test::ReaderRun {
 protected:
  void ExpectAccepted(const std::string& labeling) {
    const std::string log = Run({{"p.json", PolicyWithLabeling(labeling)}});
    EXPECT_EQ(exitStatus, 0) << labeling << "\n" << log;
    EXPECT_EQ(log.find("[ERROR]"), std::string::npos) << labeling;
  }

  // One file with `labeling` fails at `stage` with the lines `inner`.
  void ExpectRefused(const std::string& labeling, Stage stage, const std::string& inner) {
    EXPECT_EQ(Run({{"p.json", PolicyWithLabeling(labeling)}}), FailureIn("p.json", stage, inner))
        << labeling;
    EXPECT_EQ(exitStatus, 255) << labeling;
  }

  // Reading the labeling object fails with `messages`.
  void ExpectReadFailure(const std::string& labeling, const std::vector<std::string>& messages) {
    ExpectRefused(labeling, Stage::kSection, InDeclarations("labeling", Errors(messages)));
  }

  // Reading one entry of the `section` array fails with `messages`.
  void ExpectEntryFailure(const std::string& labeling, const std::string& section,
                          std::vector<std::string> messages) {
    messages.push_back("[Parse the value failed][key=" + section + "]");
    messages.push_back("[Parse labeling section failed]");
    ExpectReadFailure(labeling, messages);
  }
};

TEST_F(LabelingTest, RefusesABadLabelingObject) {
  const struct {
    std::string labeling;
    std::vector<std::string> inner;
  } rows[] = {
      {"{}", {"[Not found the first key]"}},
      {"[]", {"[Not found the first key]"}},
      {R"("file")", {"[Not found the first key]"}},
      {R"({"files": []})", {"[Undefined key][key=files]"}},
      {R"({"file": [], "File": []})", {"[Undefined key][key=File]"}},
      {R"({"netif": [], "netif": []})", {"[Repeat defined key][key=netif]"}},
  };
  for (const auto& row : rows) {
    std::vector<std::string> messages = row.inner;
    messages.push_back("[Validate the labeling section key failed]");
    ExpectReadFailure(row.labeling, messages);
  }
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
    {"file", "path", "file", "[Duplicate file path][path=", "/etc"},
    {"reserved_sid", "sid", "initial sid", "[Duplicate initial sid][sid=", "kernel"},
    {"netif", "name", "netif", "[Duplicate netif name][name=", "eth0"},
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
        "[Validate the i-th key in the " + kind.section + " section failed][i=1]";
    const std::string incomplete = "[Incomplete the i-th " + kind.objectName + " object][i=1]";
    const struct {
      std::string second;
      std::vector<std::string> inner;
    } rows[] = {
        {"{}", {"[Not found the first key]", keyCheck}},
        {R"("entry")", {"[Not found the first key]", keyCheck}},
        {R"({"context": "file_t", "mode": "0644"})", {"[Undefined key][key=mode]", keyCheck}},
        {R"({"context": "file_t", "context": "file_t"})",
         {"[Repeat defined key][key=context]", keyCheck}},
        {R"({"context": "file_t"})", {incomplete}},
        {R"({")" + kind.keyMember + R"(": "x"})", {incomplete}},
        {SimpleEntry(kind, "x", "7"), {incomplete}},
        {SimpleEntry(kind, "x", "null"), {incomplete}},
        {R"({")" + kind.keyMember + R"(": ["x"], "context": "file_t"})", {incomplete}},
        {SimpleEntry(kind, kind.key, R"("net_t")"), {kind.duplicate + kind.key + "]"}},
        // Whichever comes first in the array is reported: a repeated name
        // before a malformed entry, or a malformed entry before a repeat.
        {SimpleEntry(kind, kind.key) + ", {}", {kind.duplicate + kind.key + "]"}},
        {"{}, " + SimpleEntry(kind, kind.key), {"[Not found the first key]", keyCheck}},
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
  ExpectEntryFailure(
      R"({"file": [{"path": "/a", "context": "file_t", "x\u001b": ""}]})", "file",
      {"[Undefined key][key=x*]", "[Validate the i-th key in the file section failed][i=0]"});
  ExpectEntryFailure(PacketLabeling({Packet("t\\tcp 10.0.0.0/8 10.0.0.0/8 1 2")}), "packet",
                     {"[Get protocol failed][protocol=t*cp]"});
  ExpectEntryFailure(PacketLabeling({TcpPacket("10.0.0.0/8\\n")}), "packet",
                     {"[Invalid address][address=10.0.0.0/8*]"});
  ExpectEntryFailure(PacketLabeling({Packet("tcp 10.0.0.0/8 10.0.0.0/8 \\r1 2")}), "packet",
                     {"[Invalid port range][range=*1]"});
}

TEST_F(LabelingTest, ChecksInitialSidNamesAfterReading) {
  const struct {
    std::string sid;
    std::string logged;
  } rows[] = {{"Kernel", "Kernel"}, {"kernel ", "kernel "},      {"", ""}, {"procs", "procs"},
              {"0", "0"},           {"ker\\u0002nel", "ker*nel"}};
  for (const auto& row : rows) {
    ExpectRefused(R"({"reserved_sid": [{"sid": ")" + row.sid + R"(", "context": "sid_a"}]})",
                  Stage::kValidate,
                  Error("[Undefined initial sid string][sid=" + row.logged + "]"));
  }
}

TEST_F(LabelingTest, RefusesABadPacketEntry) {
  const std::string good = TcpPacket("192.168.1.0/24");
  const std::string keyCheck = "[Validate the i-th key in the packet section failed][i=1]";
  const std::string incomplete = "[Incomplete the i-th packet object][i=1]";
  const std::string addresses = R"("source": "10.0.0.0/8", "destination": "10.0.0.0/8")";
  const std::string allMembers =
      addresses + R"(, "prot": "tcp", "sport": "1", "dport": "2", "context": "net_t")";
  const struct {
    std::string second;
    std::vector<std::string> inner;
  } rows[] = {
      {"{}", {"[Not found the first key]", keyCheck}},
      {"[]", {"[Not found the first key]", keyCheck}},
      {"{" + allMembers + R"(, "port": "3"})", {"[Undefined key][key=port]", keyCheck}},
      {"{" + allMembers + R"(, "sport": "3"})", {"[Repeat defined key][key=sport]", keyCheck}},
      {"{" + addresses + R"(, "prot": "tcp", "sport": "1", "dport": 80, "context": "net_t"})",
       {incomplete}},
      {"{" + addresses + R"(, "prot": "tcp", "sport": "1", "dport": "80"})", {incomplete}},
      {"{" + addresses + R"(, "prot": 6, "sport": "1", "dport": "80", "context": "net_t"})",
       {incomplete}},
      // The protocol is looked up before any address is examined.
      {Packet("no-such-protocol 300.0.0.0/8 10.0.0.0/8 1 2"),
       {"[Get protocol failed][protocol=no-such-protocol]"}},
      {Packet("Tcp 10.0.0.0/8 10.0.0.0/8 1 2"), {"[Get protocol failed][protocol=Tcp]"}},
      {Packet(" 10.0.0.0/8 10.0.0.0/8 1 2"), {"[Get protocol failed][protocol=]"}},
      // Source, destination, sport and dport, in this order; the first bad one is reported.
      {Packet("udp 10.0.0.01/8 10.0.0/8 x y"), {"[Invalid address][address=10.0.0.01/8]"}},
      {Packet("udp 10.0.0.0/8 10.0.0.0/33 x y"), {"[Invalid address][address=10.0.0.0/33]"}},
      {Packet("udp 10.0.0.0/8 10.0.0.0/8 80- y"), {"[Invalid port range][range=80-]"}},
      {Packet("udp 10.0.0.0/8 10.0.0.0/8 200-100 y"), {"[Invalid port range][start=200, end=100]"}},
      {Packet("udp 10.0.0.0/8 10.0.0.0/8 80 65536"),
       {"[Invalid port range][start=65536, end=65536]"}},
      // Equal in all nine fields, however differently written.
      {TcpPacket("192.168.1.0/24"), {"[Duplicate packet key][protocol=6]"}},
      {Packet("TCP 192.168.1.0/24 10.0.0.0/8 01024-65535 80-80 file_t"),
       {"[Duplicate packet key][protocol=6]"}},
  };
  for (const auto& row : rows) {
    ExpectEntryFailure(PacketLabeling({good, row.second}), "packet", row.inner);
  }
}

// Arrays given as other values or empty, one context for many entries, and
// packets that differ in one field only.
TEST_F(LabelingTest, Accepts) {
  ExpectAccepted(R"({"file": "/etc", "reserved_sid": [], "netif": {}, "packet": 7})");
  ExpectAccepted(R"({"file": [], "reserved_sid": null, "netif": [], "packet": []})");
  ExpectAccepted(R"({"packet": [)" + TcpPacket("0.0.0.0/0") + R"(],
      "netif": [{"context": "net_t", "name": "eth0"}, {"name": "eth1", "context": "net_t"}],
      "reserved_sid": [{"sid": "kernel", "context": "sid_a"}, {"sid": "varo", "context": "sid_a"},
                       {"sid": "unlabeled", "context": "sid_a"}, {"sid": "proc", "context": "sid_a"}],
      "file": [{"path": "/etc", "context": "file_t"}, {"path": "proc:/self", "context": "file_t"},
               {"path": "/etc/", "context": "file_t"}]})");
  ExpectAccepted(PacketLabeling(
      {Packet("tcp 10.0.0.0/8 10.0.0.0/8 1-2 3-4"), Packet("udp 10.0.0.0/8 10.0.0.0/8 1-2 3-4"),
       Packet("tcp 10.0.0.1/8 10.0.0.0/8 1-2 3-4"), Packet("tcp 10.0.0.0/9 10.0.0.0/8 1-2 3-4"),
       Packet("tcp 10.0.0.0/8 10.0.0.1/8 1-2 3-4"), Packet("tcp 10.0.0.0/8 10.0.0.0/9 1-2 3-4"),
       Packet("tcp 10.0.0.0/8 10.0.0.0/8 0-2 3-4"), Packet("tcp 10.0.0.0/8 10.0.0.0/8 1-3 3-4"),
       Packet("tcp 10.0.0.0/8 10.0.0.0/8 1-2 2-4"), Packet("tcp 10.0.0.0/8 10.0.0.0/8 1-2 3-5"),
       Packet("icmp 0.0.0.0/0 0.0.0.0/0 0-65535 0"),
       Packet("icmp 0.0.0.0/0 255.255.255.255/32 0-65535 0")}));
}

// Labels the same key in two files: the second fails in the merge.
TEST_F(LabelingTest, RefusesTheSameKeyInTwoFiles) {
  // (labeling, duplicate message)
  std::vector<std::pair<std::string, std::string>> rows = {
      {PacketLabeling({Packet("udp 10.0.0.0/8 10.0.0.0/8 53 53")}),
       "[Duplicate packet key][protocol=17]"}};
  for (const SimpleKind& kind : kSimpleKinds) {
    rows.emplace_back(SimpleLabeling(kind, SimpleEntry(kind, kind.key)),
                      kind.duplicate + kind.key + "]");
  }
  for (const auto& [labeling, duplicate] : rows) {
    EXPECT_EQ(Run({{"first.json", PolicyWithLabeling(labeling)},
                   {"second.json", PolicyWithLabeling(labeling)}}),
              Passed("first.json") + Passed("second.json") + Error(duplicate) +
                  WithFile("[Merge json file failed]", "second.json"))
        << labeling;
    EXPECT_EQ(exitStatus, 255) << labeling;
  }
}

}  // namespace

// Support for the compiler's end-to-end tests: the compiler's log lines of a
// run, and a policy binary read back with RuleDataBaseRead into plain
// containers, so that tests compare what polc wrote with what the source
// says.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "ruledb/policy_binary.h"
#include "ruledb/rule_data_base.h"
#include "tests/support/polc_test.h"

namespace polc_test {

// The "[VaroCompiler]" lines of a run's log, time stamps removed.
inline std::vector<std::string> CompilerLines(const RunResult& run) {
  std::vector<std::string> lines;
  for (const std::string& line : Lines(StripTimestamps(run.out))) {
    if (line.find("[VaroCompiler]") != std::string::npos) {
      lines.push_back(line);
    }
  }
  return lines;
}

// Runs `step` with standard output captured: its status, and the lines it
// logged, time stamps removed.
template <typename Step>
std::vector<std::string> CapturedLines(Step step, int& status) {
  testing::internal::CaptureStdout();
  status = step();
  return Lines(StripTimestamps(testing::internal::GetCapturedStdout()));
}

struct PacketRecord {
  uint32_t sourceAddress, sourceMask, destinationAddress, destinationMask;
  uint16_t sportStart, sportEnd, dportStart, dportEnd, protocol, type;
  friend bool operator==(const PacketRecord&, const PacketRecord&) = default;
};

// (source, target, tclass, specified)
using RuleRecordKey = std::tuple<uint16_t, uint16_t, uint16_t, uint16_t>;

struct ReadBackPolicy {
  uint32_t flags = 0;
  std::map<std::string, uint32_t> symbols;                 // name -> value
  std::vector<std::pair<uint32_t, uint16_t>> initialSids;  // (sid, type), file order
  std::vector<std::pair<std::string, uint16_t>> netifs;    // (name, type), file order
  std::vector<PacketRecord> packets;                       // file order
  std::map<std::string, std::string> fileContexts;         // path -> context
  std::vector<std::vector<uint16_t>> typeAttrs;            // by symbol value
  std::map<RuleRecordKey, uint32_t> rules;                 // key -> datum
};

namespace readback_detail {

inline int32_t CollectSymbol(void* key, void* datum, void* arg) {
  (*static_cast<std::map<std::string, uint32_t>*>(arg))[static_cast<const char*>(key)] =
      *static_cast<const uint32_t*>(datum);
  return 0;
}

inline int32_t CollectFileContext(void* key, void* datum, void* arg) {
  (*static_cast<std::map<std::string, std::string>*>(arg))[static_cast<const char*>(key)] =
      static_cast<const char*>(datum);
  return 0;
}

inline int32_t CollectRule(void* key, void* datum, void* arg) {
  const auto* rule = static_cast<const RuleTblKey*>(key);
  (*static_cast<std::map<RuleRecordKey, uint32_t>*>(
      arg))[{rule->source, rule->target, rule->tclass, rule->specified}] =
      static_cast<const RuleTblDatum*>(datum)->value;
  return 0;
}

}  // namespace readback_detail

// Reads `image` with RuleDataBaseRead; a failing read fails the test.
inline ReadBackPolicy ReadBack(const std::string& image) {
  using namespace readback_detail;
  ReadBackPolicy policy;
  RuleDataBase db{};
  std::vector<uint8_t> bytes(image.begin(), image.end());
  PolicyCursor cursor = {bytes.data(), bytes.size()};
  EXPECT_EQ(RuleDataBaseRead(&db, &cursor), 0) << "the policy binary does not read back";
  EXPECT_EQ(cursor.remaining, 0u) << "bytes after the rule table";
  policy.flags = db.flags;
  HashTblMap(&db.symTbl, CollectSymbol, &policy.symbols);
  for (const ObjCtx* sid = db.objCtxs[OBJ_CTX_INITIAL_SID]; sid != nullptr; sid = sid->next) {
    policy.initialSids.emplace_back(sid->sid, sid->type);
  }
  for (const ObjCtx* netif = db.objCtxs[OBJ_CTX_NETIF]; netif != nullptr; netif = netif->next) {
    policy.netifs.emplace_back(netif->name, netif->type);
  }
  for (const ObjCtx* p = db.objCtxs[OBJ_CTX_PACKET]; p != nullptr; p = p->next) {
    policy.packets.push_back({p->sourceAddress, p->sourceMask, p->destinationAddress,
                              p->destinationMask, p->sportStart, p->sportEnd, p->dportStart,
                              p->dportEnd, p->protocol, p->type});
  }
  HashTblMap(&db.fileCtxTbl, CollectFileContext, &policy.fileContexts);
  for (uint32_t i = 0; db.typeToAttrsArr != nullptr && i < db.typeToAttrsCount; ++i) {
    const TypeAttrs& entry = db.typeToAttrsArr[i];
    policy.typeAttrs.emplace_back(entry.values, entry.values + entry.count);
  }
  HashTblMap(&db.ruleTbl, CollectRule, &policy.rules);
  RuleDataBaseDestory(&db);
  return policy;
}

}  // namespace polc_test

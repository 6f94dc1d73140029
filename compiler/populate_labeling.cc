// Labeled objects: the initial sid, netif and packet lists, and the file
// context table.
#include "base/log.h"
#include "compiler/database_blocks.h"
#include "compiler/varo_compiler.h"

namespace {

const EntryMessages FILE_CONTEXT_MESSAGES = {
    "[VaroCompiler][Allocate memory failed for file contexts Key or Datum]\n",
    "[VaroCompiler][Insert file contexts table failed]\n",
};

// Fills `record` from one model entry: 0, or -1 after logging why.
template <typename Entry>
using RecordFiller = int (*)(const VaroCompiler& compiler, const Entry& entry, ObjCtx* record);

int FillInitialSid(const VaroCompiler& compiler,
                   const std::pair<const std::string, std::string>& sid, ObjCtx* record) {
  record->sid = GetInitialSidNumber(sid.first);
  record->type = static_cast<uint16_t>(compiler.LookupTypeValue(sid.second));
  return 0;
}

int FillNetif(const VaroCompiler& compiler, const std::pair<const std::string, std::string>& netif,
              ObjCtx* record) {
  record->type = static_cast<uint16_t>(compiler.LookupTypeValue(netif.second));
  switch (CopyToHeap(netif.first.c_str(), &record->name)) {
    case BlockStatus::OK:
      return 0;
    case BlockStatus::NO_MEMORY:
      Log(LOG_ERR, "[VaroCompiler][Allocate memory failed for netif name]\n");
      return -1;
    case BlockStatus::COPY_FAILED:
      Log(LOG_ERR, "[VaroCompiler][String copy failed for netif name]\n");
      return -1;
  }
  return -1;
}

int FillPacket(const VaroCompiler& compiler, const std::pair<const PacketKey, std::string>& packet,
               ObjCtx* record) {
  const PacketKey& key = packet.first;
  record->sourceAddress = key.sourceAddress;
  record->sourceMask = key.sourceMask;
  record->destinationAddress = key.destinationAddress;
  record->destinationMask = key.destinationMask;
  record->sportStart = key.sportStart;
  record->sportEnd = key.sportEnd;
  record->dportStart = key.dportStart;
  record->dportEnd = key.dportEnd;
  record->protocol = key.protocol;
  record->type = static_cast<uint16_t>(compiler.LookupTypeValue(packet.second));
  return 0;
}

// Builds one record per entry of `entries` and prepends it to list `kind`, so
// the list ends in reverse model order. `what` names the kind in the log.
template <typename Map>
int PopulateObjectList(const VaroCompiler& compiler, const Map& entries, RuleDataBase* db,
                       ObjCtxKind kind, uint32_t flag, const char* what,
                       RecordFiller<typename Map::value_type> fill) {
  if (entries.empty()) {
    return 0;
  }
  Log(LOG_INFO, "[VaroCompiler][Populating %s][count=%u]\n", what,
      static_cast<uint32_t>(entries.size()));
  // Set before any record exists, so that a failure leaves it set.
  db->flags |= flag;
  for (const auto& entry : entries) {
    auto* record = NewZeroedBlock<ObjCtx>();
    if (record == nullptr) {
      Log(LOG_ERR, "[VaroCompiler][Allocate memory failed for %s object]\n", what);
      return -1;
    }
    if (fill(compiler, entry, record) != 0) {
      free(record);
      return -1;
    }
    record->next = db->objCtxs[kind];
    db->objCtxs[kind] = record;
  }
  return 0;
}

}  // namespace

int VaroCompiler::PopulateLabeling() {
  int status = PopulateInitialSids();
  if (status == 0) {
    status = PopulateNetifs();
  }
  if (status == 0) {
    status = PopulatePackets();
  }
  return status;
}

int VaroCompiler::PopulateInitialSids() {
  return PopulateObjectList(*this, model.initialSids, ruleDataBase.get(), OBJ_CTX_INITIAL_SID,
                            FLAG_INITIAL_SID, "initial sid", FillInitialSid);
}

int VaroCompiler::PopulateNetifs() {
  return PopulateObjectList(*this, model.netifs, ruleDataBase.get(), OBJ_CTX_NETIF, FLAG_NETIF,
                            "netif", FillNetif);
}

int VaroCompiler::PopulatePackets() {
  return PopulateObjectList(*this, model.packets, ruleDataBase.get(), OBJ_CTX_PACKET, FLAG_PACKET,
                            "packet", FillPacket);
}

int VaroCompiler::PopulateFileContexts() {
  const size_t count = model.fileContexts.size();
  if (count == 0) {
    return 0;
  }
  Log(LOG_INFO, "[VaroCompiler][Populating file][count=%u]\n", static_cast<uint32_t>(count));
  HashTbl* table = &ruleDataBase->fileCtxTbl;
  ruleDataBase->flags |= FLAG_FILE_CONTEXT;
  int status = StrTblInit(table, static_cast<uint32_t>(count));
  if (status != 0) {
    Log(LOG_ERR, "[VaroCompiler][Init file contexts table failed]\n");
    return status;
  }
  // The table keeps its chains sorted, so the map's order does not show.
  HugePageVector<StringTableEntry<const char*>> entries;
  entries.reserve(count);
  for (const auto& [path, context] : model.fileContexts) {
    entries.push_back({model.paths.CText(path), model.names.CText(context)});
  }
  return FillStringTable<const char*>(table, entries, FILE_CONTEXT_MESSAGES);
}

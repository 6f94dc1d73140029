// The "labeling" section: file paths, initial sids, network interfaces and
// packets, each mapped to a context. Contexts and sid names are only stored
// here; the per-file checks look at them once the whole file is read.
#include <cassert>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "base/log.h"
#include "base/protocol_lookup.h"
#include "json/json.h"
#include "reader/duplicate_messages.h"
#include "reader/json_access.h"
#include "reader/section_readers.h"
#include "reader/validators.h"

namespace {

// The most members a labeling entry has (a packet's).
constexpr size_t MAX_ENTRY_MEMBERS = 6;

// Calls `readEntry(members, index)` for each element of the `section` array
// that passes the key check, `members` holding the element's member for each
// allowed key (null when missing), and stops at the first failure.
template <typename ReadEntry>
int ReadLabelingEntries(JsonValue* array, const char* section, AllowedKeys allowedKeys,
                        ReadEntry readEntry) {
  assert(allowedKeys.size() <= MAX_ENTRY_MEMBERS);
  JsonValue* storage[MAX_ENTRY_MEMBERS];
  const std::span<JsonValue*> members(storage, allowedKeys.size());
  if (RequireArray(array, section) != 0) return -1;
  for (uint32_t i = 0; i < JsonGetArraySize(array); ++i) {
    JsonValue* entry = nullptr;
    [[maybe_unused]] const int found = JsonGetArrayItem(array, i, &entry);
    assert(found == JSON_OK);  // i is below the size
    if (CheckObjectKeys(entry, allowedKeys, members) != 0) {
      Log(LOG_ERR, "[JsonParser][Validate the i-th key in the %s section failed][i=%u]\n", section,
          i);
      return -1;
    }
    if (readEntry(members, i) != 0) {
      return -1;
    }
  }
  return 0;
}

// One entry of a labeling kind that maps a name to a context.
struct NamedEntry {
  const char* name;
  const char* context;
};

// Stores the entries of a labeling kind in order; the position of the first
// one whose name the file named before, where storing stopped, or none.
using AddLabels = std::optional<size_t> (*)(PolicyModel& model,
                                            std::span<const NamedEntry> entries);

// A policy labels hundreds of thousands of paths, each new to the path pool
// and so a cache miss apart: interned as one batch, their misses overlap.
std::optional<size_t> AddFileLabels(PolicyModel& model, std::span<const NamedEntry> entries) {
  std::vector<HashedText> paths;
  std::vector<HashedText> contexts;
  paths.reserve(entries.size());
  contexts.reserve(entries.size());
  for (const NamedEntry& entry : entries) {
    paths.push_back(HashText(entry.name));
    contexts.push_back(HashText(entry.context));
  }
  std::vector<NameId> pathIds(entries.size());
  std::vector<NameId> contextIds(entries.size());
  model.paths.InternAll(paths, pathIds);
  model.names.InternAll(contexts, contextIds);
  for (size_t i = 0; i < entries.size(); ++i) {
    if (!model.fileContexts.Insert(pathIds[i], contextIds[i])) return i;
  }
  return std::nullopt;
}

// The same for a map of texts.
template <NameMap PolicyModel::*map>
std::optional<size_t> AddNamedLabels(PolicyModel& model, std::span<const NamedEntry> entries) {
  for (size_t i = 0; i < entries.size(); ++i) {
    if (!(model.*map).emplace(entries[i].name, entries[i].context).second) return i;
  }
  return std::nullopt;
}

// A labeling kind that maps a name to a context: files, initial sids, netifs.
struct NamedLabeling {
  const char* section;                          // member of the labeling object
  const char* keyMember;                        // entry member that names the labeled thing
  AddLabels add;                                // stores entries in the model
  const char* incomplete;                       // message with the entry index
  void (*logDuplicate)(std::string_view name);  // for a name met twice in the file
};

constexpr NamedLabeling FILE_LABELING = {
    "file",           "path",
    AddFileLabels,    "[JsonParser][Incomplete the i-th file object][i=%u]\n",
    LogDuplicatePath,
};

constexpr NamedLabeling RESERVED_SID_LABELING = {
    "reserved_sid",
    "sid",
    AddNamedLabels<&PolicyModel::initialSids>,
    "[JsonParser][Incomplete the i-th initial sid object][i=%u]\n",
    LogDuplicateSid,
};

// The netif message prints its index signed; the value is the same.
constexpr NamedLabeling NETIF_LABELING = {
    "netif",
    "name",
    AddNamedLabels<&PolicyModel::netifs>,
    "[JsonParser][Incomplete the i-th netif object][i=%d]\n",
    LogDuplicateNetif,
};

// Checks every entry first, holding the lines of the first failure, and
// stores the entries before it after, as one batch. A name repeated before
// the failing entry is reported instead of the failure, as reading entry
// by entry would have met it first.
int ReadNamedLabeling(JsonValue* array, PolicyModel& model, const NamedLabeling& kind) {
  const std::string_view allowedKeys[] = {kind.keyMember, "context"};
  std::vector<NamedEntry> entries;
  std::vector<HeldLogLine> failure;
  int read = 0;
  {
    const LogCapture capture(failure);
    read = ReadLabelingEntries(
        array, kind.section, allowedKeys, [&](std::span<JsonValue*> members, uint32_t i) {
          const char* name = nullptr;
          const char* context = nullptr;
          if (!GetString(members[0], &name) || !GetString(members[1], &context)) {
            Log(LOG_ERR, kind.incomplete, i);
            return -1;
          }
          entries.push_back({name, context});
          return 0;
        });
  }
  if (const std::optional<size_t> repeated = kind.add(model, entries)) {
    kind.logDuplicate(entries[*repeated].name);
    return -1;
  }
  if (read != 0) {
    ReplayLog(failure);
    return -1;
  }
  return 0;
}

constexpr std::string_view PACKET_KEYS[] = {"prot",  "source", "destination",
                                            "sport", "dport",  "context"};

// The six members of a packet entry.
struct PacketTexts {
  const char* prot = nullptr;         // protocol name or alias
  const char* source = nullptr;       // address prefix
  const char* destination = nullptr;  // address prefix
  const char* sport = nullptr;        // port or port range
  const char* dport = nullptr;        // port or port range
  const char* context = nullptr;      // context name
};

// False when a member is missing or not a string; `members` in the order
// of PACKET_KEYS.
bool GetPacketTexts(std::span<JsonValue*> members, PacketTexts& texts) {
  return GetString(members[0], &texts.prot) && GetString(members[1], &texts.source) &&
         GetString(members[2], &texts.destination) && GetString(members[3], &texts.sport) &&
         GetString(members[4], &texts.dport) && GetString(members[5], &texts.context);
}

// Converts the protocol, the two prefixes and the two port ranges, in this
// order; the first failure is logged (the validators log their own) and ends
// the conversion. `key` is written only on success.
int ConvertPacketKey(const PacketTexts& texts, PacketKey& key) {
  const std::optional<uint16_t> protocol = LookupProtocol(texts.prot);
  if (!protocol.has_value()) {
    Log(LOG_ERR, "[JsonParser][Get protocol failed][protocol=%s]\n",
        MaskControlChars(texts.prot).c_str());
    return -1;
  }
  AddressPrefix source{};
  AddressPrefix destination{};
  PortRange sport{};
  PortRange dport{};
  if (ParseAddressPrefix(texts.source, source) != 0 ||
      ParseAddressPrefix(texts.destination, destination) != 0 ||
      ParsePortRange(texts.sport, sport) != 0 || ParsePortRange(texts.dport, dport) != 0) {
    return -1;
  }
  key = PacketKey{.protocol = *protocol,
                  .sourceAddress = source.address,
                  .sourceMask = source.prefixLength,
                  .destinationAddress = destination.address,
                  .destinationMask = destination.prefixLength,
                  .sportStart = sport.start,
                  .sportEnd = sport.end,
                  .dportStart = dport.start,
                  .dportEnd = dport.end};
  return 0;
}

int ReadFileSection(JsonValue* value, PolicyModel& model) {
  return ReadNamedLabeling(value, model, FILE_LABELING);
}

int ReadReservedSidSection(JsonValue* value, PolicyModel& model) {
  return ReadNamedLabeling(value, model, RESERVED_SID_LABELING);
}

int ReadNetifSection(JsonValue* value, PolicyModel& model) {
  return ReadNamedLabeling(value, model, NETIF_LABELING);
}

int ReadPacketSection(JsonValue* value, PolicyModel& model) {
  return ReadLabelingEntries(
      value, "packet", PACKET_KEYS, [&](std::span<JsonValue*> members, uint32_t i) {
        PacketTexts texts;
        if (!GetPacketTexts(members, texts)) {
          Log(LOG_ERR, "[JsonParser][Incomplete the i-th packet object][i=%d]\n",
              static_cast<int>(i));
          return -1;
        }
        PacketKey key;
        if (ConvertPacketKey(texts, key) != 0) {
          return -1;
        }
        if (!model.packets.emplace(key, texts.context).second) {
          LogDuplicatePacket(key);
          return -1;
        }
        return 0;
      });
}

}  // namespace

int ReadLabelingSection(JsonValue* value, PolicyModel& model) {
  static constexpr std::string_view KEYS[] = {"file", "reserved_sid", "netif", "packet"};
  static constexpr KeyHandler HANDLERS[] = {
      {"file", ReadFileSection},
      {"reserved_sid", ReadReservedSidSection},
      {"netif", ReadNetifSection},
      {"packet", ReadPacketSection},
  };
  return ReadKeyedSection(value, model, KEYS, HANDLERS, "labeling");
}

int CheckInitialSidNames(const PolicyModel& fileModel) {
  for (const auto& [sid, context] : fileModel.initialSids) {
    if (GetInitialSidNumber(sid) == 0) {
      Log(LOG_ERR, "[JsonParser][Undefined initial sid string][sid=%s]\n",
          MaskControlChars(sid).c_str());
      return -1;
    }
  }
  return 0;
}

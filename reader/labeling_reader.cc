// The "labeling" section: file paths, initial sids, network interfaces and
// packets, each mapped to a context. Contexts and sid names are only stored
// here; the per-file checks look at them once the whole file is read.
#include <cassert>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "base/log.h"
#include "base/protocol_lookup.h"
#include "json/json.h"
#include "reader/diagnostic_codes.h"
#include "reader/duplicate_messages.h"
#include "reader/json_access.h"
#include "reader/section_readers.h"
#include "reader/validators.h"

namespace {

// The most members a labeling entry has (a packet's).
constexpr size_t MAX_ENTRY_MEMBERS = 6;

// Calls `readEntry(members, entry, index)` for each element of the array
// `section` that passes the key check, `members` holding the element's
// member for each allowed key (null when missing).
template <typename ReadEntry>
int ReadLabelingEntries(JsonValue* array, ReadContext& context, const char* section,
                        AllowedKeys allowedKeys, ReadEntry readEntry) {
  assert(allowedKeys.size() <= MAX_ENTRY_MEMBERS);
  if (RequireArray(context, array, section) != 0) return -1;
  JsonValue* storage[MAX_ENTRY_MEMBERS];
  const std::span<JsonValue*> members(storage, allowedKeys.size());
  return ReadElements(context, array, [&](JsonValue* entry, uint32_t i) {
    if (CheckObjectKeys(context, entry, allowedKeys, members) != 0) {
      return context.Trace("[JsonParser][Validate the i-th key in the %s section failed][i=%u]\n",
                           section, i);
    }
    return readEntry(members, entry, i);
  });
}

// Reads the string members of an entry, in the order of `keys`, into
// `texts`; the fault of the first missing one, with the line `logLine()`.
template <typename LogLine>
int GetEntryTexts(ReadContext& context, JsonValue* entry, std::span<JsonValue*> members,
                  AllowedKeys keys, std::span<const char*> texts, LogLine logLine) {
  for (size_t i = 0; i < members.size(); ++i) {
    if (!GetString(members[i], &texts[i])) {
      return IncompleteEntry(context, entry, members, keys, members.size(), logLine());
    }
  }
  return 0;
}

// Records in the file's index, if it keeps one, the context `text` of an
// entry, which stands at `member`.
void NoteContext(ReadContext& context, const JsonValue* member, const char* text, NameRole role) {
  if (SourceIndex* index = context.Index()) {
    index->names.push_back({context.model.names.Intern(text), context.OffsetOf(member), role});
  }
}

// One entry of a labeling kind that maps a name to a context.
struct NamedEntry {
  uint32_t index;  // in the section's array
  const char* name;
  const char* context;
  const JsonValue* nameMember;     // where the name stands
  const JsonValue* contextMember;  // and the context
  NameId nameId = 0;               // once interned (a file entry's path)
  NameId contextId = 0;
};

// Called for an entry whose name the file labeled before; true stops the
// storing.
using OnDuplicate = std::function<bool(const NamedEntry&)>;

// Stores the entries of a labeling kind in order.
using AddLabels = void (*)(ReadContext& context, std::span<const NamedEntry> entries,
                           const OnDuplicate& duplicate);

// Interns the paths and contexts of file entries, and points the entries
// at the pools' copies of their texts, so that the document may go.
// A policy labels hundreds of thousands of paths, each new to the path pool
// and so a cache miss apart: interned in batches, their misses overlap.
void InternFileLabels(PolicyModel& model, std::span<NamedEntry> entries) {
  HugePageVector<HashedText> paths(entries.size());
  HugePageVector<HashedText> contexts(entries.size());
  for (size_t i = 0; i < entries.size(); ++i) {
    paths[i] = HashText(entries[i].name);
    contexts[i] = HashText(entries[i].context);
  }
  HugePageVector<NameId> pathIds(entries.size());
  HugePageVector<NameId> contextIds(entries.size());
  model.paths.InternAll(paths, pathIds);
  model.names.InternAll(contexts, contextIds);
  for (size_t i = 0; i < entries.size(); ++i) {
    entries[i].nameId = pathIds[i];
    entries[i].contextId = contextIds[i];
    entries[i].name = model.paths.CText(pathIds[i]);
    entries[i].context = model.names.CText(contextIds[i]);
  }
}

void AddFileLabels(ReadContext& context, std::span<const NamedEntry> entries,
                   const OnDuplicate& duplicate) {
  PolicyModel& model = context.model;
  SourceIndex* index = context.Index();
  for (const NamedEntry& entry : entries) {
    if (index != nullptr) {
      index->names.push_back(
          {entry.contextId, context.OffsetOf(entry.contextMember), NameRole::FILE_CONTEXT});
    }
    if (!model.fileContexts.Insert(entry.nameId, entry.contextId)) {
      if (duplicate(entry)) return;
    } else if (index != nullptr) {
      index->paths.push_back({entry.nameId, context.OffsetOf(entry.nameMember)});
    }
  }
}

// The same for a map of texts.
template <NameMap PolicyModel::*map, std::vector<NamedLabelUse> SourceIndex::*uses, NameRole role>
void AddNamedLabels(ReadContext& context, std::span<const NamedEntry> entries,
                    const OnDuplicate& duplicate) {
  for (const NamedEntry& entry : entries) {
    NoteContext(context, entry.contextMember, entry.context, role);
    if (!(context.model.*map).emplace(entry.name, entry.context).second) {
      if (duplicate(entry)) return;
    } else if (SourceIndex* index = context.Index()) {
      (index->*uses).push_back({entry.name, context.OffsetOf(entry.nameMember)});
    }
  }
}

// A labeling kind that maps a name to a context: files, initial sids, netifs.
struct NamedLabeling {
  const char* section;                        // member of the labeling object
  const char* keyMember;                      // entry member that names the labeled thing
  void (*intern)(PolicyModel&, std::span<NamedEntry>);  // as entries are read, or null
  AddLabels add;                                        // stores entries in the model
  const char* incomplete;                               // log line with the entry index
  Fault (*duplicate)(std::string_view name);  // for a name met twice in the file
};

constexpr NamedLabeling FILE_LABELING = {"file", "path", InternFileLabels, AddFileLabels,
                                         "[JsonParser][Incomplete the i-th file object][i=%u]\n",
                                         DuplicatePath};

constexpr NamedLabeling RESERVED_SID_LABELING = {
    "reserved_sid", "sid", nullptr,
    AddNamedLabels<&PolicyModel::initialSids, &SourceIndex::sids, NameRole::SID_CONTEXT>,
    "[JsonParser][Incomplete the i-th initial sid object][i=%u]\n", DuplicateSid};

// The netif message prints its index signed; the value is the same.
constexpr NamedLabeling NETIF_LABELING = {
    "netif", "name", nullptr,
    AddNamedLabels<&PolicyModel::netifs, &SourceIndex::netifs, NameRole::NETIF_CONTEXT>,
    "[JsonParser][Incomplete the i-th netif object][i=%d]\n", DuplicateNetif};

// Checks every entry first, then stores the good ones as one batch. A name
// repeated before a failing entry is the fault polc reports, as reading
// entry by entry would have met it first. Entries of a kind that interns
// them are interned a batch at a time, and the entries before released.
int ReadNamedLabeling(JsonValue* array, ReadContext& context, const NamedLabeling& kind) {
  constexpr size_t INTERN_BATCH = 1024;
  const AllowedKey allowedKeys[] = {kind.keyMember, "context"};
  HugePageVector<NamedEntry> entries;
  entries.reserve(JsonGetArraySize(array));
  size_t interned = 0;
  const auto intern = [&] {
    if (kind.intern != nullptr) kind.intern(context.model, std::span(entries).subspan(interned));
    interned = entries.size();
  };
  const int read =
      ReadLabelingEntries(array, context, kind.section, allowedKeys,
                          [&](std::span<JsonValue*> members, JsonValue* entry, uint32_t i) {
                            const char* texts[2];
                            if (GetEntryTexts(context, entry, members, allowedKeys, texts, [&] {
                                  return Format(kind.incomplete, i);
                                }) != 0) {
                              return -1;
                            }
                            entries.push_back({i, texts[0], texts[1], members[0], members[1]});
                            if (entries.size() - interned == INTERN_BATCH) {
                              intern();
                              context.Release(array, entry);
                            }
                            return 0;
                          });
  intern();
  return context.StoreBeforeFault(read != 0, [&] {
    bool duplicated = false;
    kind.add(context, entries, [&](const NamedEntry& entry) {
      const ReadContext::Step atEntry(context, entry.index);
      const ReadContext::Step atName(context, kind.keyMember);
      context.Error(entry.nameMember, kind.duplicate(entry.name));
      duplicated = true;
      return !context.KeepGoing();
    });
    return duplicated ? -1 : 0;
  });
}

constexpr AllowedKey PACKET_KEYS[] = {"prot", "source", "destination", "sport", "dport", "context"};
enum PacketMember : size_t { PROT, SOURCE, DESTINATION, SPORT, DPORT, CONTEXT };

// The fault `fault` of the packet member `member`.
int PacketFault(ReadContext& context, std::span<JsonValue*> members, PacketMember member,
                Fault fault) {
  const ReadContext::Step at(context, PACKET_KEYS[member].text.data());
  return context.Error(members[member], std::move(fault));
}

// Converts the protocol, the two prefixes and the two port ranges, in this
// order; the first fault ends the conversion. `key` is written only on
// success.
int ConvertPacketKey(ReadContext& context, std::span<JsonValue*> members,
                     std::span<const char*> texts, PacketKey& key) {
  const std::optional<uint16_t> protocol = LookupProtocol(texts[PROT]);
  if (!protocol.has_value()) {
    const std::string shown = MaskControlChars(texts[PROT]);
    return PacketFault(context, members, PROT,
                       {code::UNKNOWN_PROTOCOL, Format("unknown protocol \"%s\"", shown.c_str()),
                        Format("[JsonParser][Get protocol failed][protocol=%s]\n", shown.c_str())});
  }
  AddressPrefix addresses[2]{};
  for (const PacketMember member : {SOURCE, DESTINATION}) {
    if (auto fault = ParseAddressPrefix(texts[member], addresses[member - SOURCE])) {
      return PacketFault(context, members, member, std::move(*fault));
    }
  }
  PortRange ports[2]{};
  for (const PacketMember member : {SPORT, DPORT}) {
    if (auto fault = ParsePortRange(texts[member], ports[member - SPORT])) {
      return PacketFault(context, members, member, std::move(*fault));
    }
  }
  key = PacketKey{.protocol = *protocol,
                  .sourceAddress = addresses[0].address,
                  .sourceMask = addresses[0].prefixLength,
                  .destinationAddress = addresses[1].address,
                  .destinationMask = addresses[1].prefixLength,
                  .sportStart = ports[0].start,
                  .sportEnd = ports[0].end,
                  .dportStart = ports[1].start,
                  .dportEnd = ports[1].end};
  return 0;
}

int ReadFileSection(JsonValue* value, ReadContext& context) {
  // Every path is new to the pool, unless the file labels it twice.
  context.model.paths.Reserve(JsonGetArraySize(value));
  return ReadNamedLabeling(value, context, FILE_LABELING);
}

int ReadReservedSidSection(JsonValue* value, ReadContext& context) {
  return ReadNamedLabeling(value, context, RESERVED_SID_LABELING);
}

int ReadNetifSection(JsonValue* value, ReadContext& context) {
  return ReadNamedLabeling(value, context, NETIF_LABELING);
}

int ReadPacketSection(JsonValue* value, ReadContext& context) {
  return ReadLabelingEntries(
      value, context, "packet", PACKET_KEYS,
      [&](std::span<JsonValue*> members, JsonValue* entry, uint32_t i) {
        const char* texts[std::size(PACKET_KEYS)];
        PacketKey key;
        if (GetEntryTexts(context, entry, members, PACKET_KEYS, texts,
                          [i] {
                            return Format("[JsonParser][Incomplete the i-th packet object][i=%d]\n",
                                          static_cast<int>(i));
                          }) != 0 ||
            ConvertPacketKey(context, members, texts, key) != 0) {
          return -1;
        }
        NoteContext(context, members[CONTEXT], texts[CONTEXT], NameRole::PACKET_CONTEXT);
        if (!context.model.packets.emplace(key, texts[CONTEXT]).second) {
          return context.Error(entry, DuplicatePacket(key));
        }
        if (SourceIndex* index = context.Index()) {
          index->packets.push_back({key, context.OffsetOf(entry)});
        }
        return 0;
      });
}

}  // namespace

int ReadLabelingSection(JsonValue* value, ReadContext& context) {
  static constexpr KeyHandler HANDLERS[] = {
      {"file", ReadFileSection},
      {"reserved_sid", ReadReservedSidSection},
      {"netif", ReadNetifSection},
      {"packet", ReadPacketSection},
  };
  return ReadKeyedObject(context, value, HANDLERS,
                         "[JsonParser][Validate the labeling section key failed]\n",
                         "[JsonParser][Parse labeling section failed]\n");
}

int CheckInitialSidNames(const PolicyModel& fileModel, Diagnostics& diagnostics,
                         const std::string& file) {
  for (const auto& [sid, context] : fileModel.initialSids) {
    if (GetInitialSidNumber(sid) == 0)
      return ReportFileFault(diagnostics, file, UnknownSidFault(sid));
  }
  return 0;
}

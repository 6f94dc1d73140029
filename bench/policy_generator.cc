#include "bench/policy_generator.h"

#include <algorithm>
#include <array>
#include <set>
#include <utility>
#include <vector>

#include "base/class_table.h"

namespace polc_bench {

namespace {

constexpr PolicyShape PRESETS[] = {
    {"small", 1, 50, 5, 0, 500, 20, 50, 0, 0},
    {"medium", 64, 5000, 200, 10000, 100000, 5000, 20000, 8, 200},
    {"large", 512, 30000, 2000, 60000, 1000000, 50000, 200000, 64, 2000},
    {"max", 4096, 65000, 535, 130000, 2000000, 100000, 400000, 256, 8000},
    // large as one file: a policy kept in one source
    {"one-file", 1, 30000, 2000, 60000, 1000000, 50000, 200000, 64, 2000},
};

constexpr uint32_t MAX_NAMES = 65535;    // types and attributes together
constexpr uint32_t MAX_PACKETS = 65536;  // one source prefix per packet
constexpr uint32_t MAX_FILES = 9999;     // four digits in the file name

constexpr std::string_view DOMAINS[] = {
    "vendor",   "system", "hal",      "media",   "camera", "audio",    "netd",   "bluetooth",
    "wifi",     "radio",  "sensor",   "display", "input",  "storage",  "update", "telemetry",
    "location", "power",  "thermal",  "usb",     "nfc",    "keystore", "crypto", "shell",
    "init",     "logd",   "installd", "surface", "gpu",    "modem",    "gnss",   "vehicle",
    "diag",     "dbus",   "cron",     "sshd",    "ntp",    "dhcp",     "dns",    "firewall"};
constexpr std::string_view TYPE_ROLES[] = {
    "daemon",   "exec",   "data_file", "config_file", "socket",     "service",  "log_file",
    "tmp_file", "device", "prop",      "port",        "cache_file", "run_file", "lib_file",
    "client",   "server", "helper",    "app",         "plugin",     "proxy"};
constexpr std::string_view ATTR_ROLES[] = {
    "domain",        "file_type",     "exec_type", "socket_type", "property_type",
    "client_domain", "server_domain", "data_type", "device_type", "hal_attribute"};
constexpr std::string_view PATH_DIRS[] = {
    "/system/bin",  "/system/lib64", "/vendor/bin/hw",     "/vendor/etc",
    "/data/vendor", "/data/misc",    "/dev/block/by-name", "/usr/lib/systemd",
    "/var/log",     "/etc/init",     "/opt/apps",          "/run/user"};
constexpr std::string_view PATH_SUFFIXES[] = {"", ".so", ".conf", "(/.*)?", ".log", ".rc"};
constexpr std::string_view NETIF_KINDS[] = {"eth", "wlan", "rmnet_data", "can"};
constexpr std::string_view PROTOCOLS[] = {"tcp", "udp"};
constexpr std::string_view DESTINATION_PORTS[] = {"80",        "443",       "53",
                                                  "8080-8090", "5000-5999", "22"};
constexpr std::string_view INITIAL_SIDS[] = {"kernel", "varo", "unlabeled", "proc"};

// Percentages that shape how much a file borrows from the others.
constexpr uint32_t OWN_OBJECT_PERCENT = 60;
constexpr uint32_t OWN_TARGET_PERCENT = 70;
constexpr uint32_t OWN_CONTEXT_PERCENT = 80;
constexpr uint32_t BORROWED_TYPE_PERCENT = 85;  // the rest are attributes
constexpr uint32_t PREFIXED_PATH_EVERY = 50;    // one path in 50 is "sysfs:/..."
constexpr uint32_t MAX_OPERATIONS = 4;

uint64_t Mix(uint64_t x) {
  x += 0x9E3779B97F4A7C15ULL;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
  return x ^ (x >> 31);
}

// A fixed random stream; its numbers do not depend on the standard library.
class Random {
 public:
  explicit Random(uint64_t seed) : state(seed) {}
  uint32_t Below(uint32_t bound) {
    state = Mix(state);
    return static_cast<uint32_t>(state % bound);
  }
  bool Percent(uint32_t percent) { return Below(100) < percent; }

 private:
  uint64_t state;
};

template <typename T, size_t N>
std::string_view Pick(const T (&words)[N], uint64_t hash) {
  return words[hash % N];
}

// `total` dealt out to `parts` as evenly as possible, the larger parts first.
uint32_t Share(uint32_t total, uint32_t parts, uint32_t part) {
  return total / parts + (part < total % parts ? 1 : 0);
}
uint32_t ShareStart(uint32_t total, uint32_t parts, uint32_t part) {
  return part * (total / parts) + std::min(part, total % parts);
}
uint32_t LargestShare(uint32_t total, uint32_t parts) { return (total + parts - 1) / parts; }

// The operation names of each class, in bit order; index 0 is class 1.
const std::vector<std::vector<std::string_view>>& OperationLists() {
  static const std::vector<std::vector<std::string_view>> LISTS = [] {
    std::vector<std::vector<std::string_view>> result;
    for (uint16_t cls = 1; cls <= CLASS_COUNT; ++cls) {
      std::vector<std::string_view>& names = result.emplace_back();
      for (uint32_t bit = 1; GetOperationName(cls, bit) != nullptr; bit <<= 1) {
        names.push_back(GetOperationName(cls, bit));
      }
    }
    return result;
  }();
  return LISTS;
}

std::string_view ClassName(uint32_t cls) { return GetClassName(static_cast<uint16_t>(cls + 1)); }

std::string Quoted(std::string_view text) {
  std::string quoted;
  quoted.reserve(text.size() + 2);
  quoted.append(1, '"').append(text).append(1, '"');
  return quoted;
}

// `open`, the items separated by ", ", then `close`, on one line.
std::string Inline(char open, const std::vector<std::string>& items, char close) {
  std::string text(1, open);
  for (size_t i = 0; i < items.size(); ++i) {
    text.append(i == 0 ? "" : ", ").append(items[i]);
  }
  return text.append(1, close);
}

std::string InlineArray(const std::vector<std::string>& items) { return Inline('[', items, ']'); }
std::string InlineObject(const std::vector<std::string>& members) {
  return Inline('{', members, '}');
}

// `open`, then each item on its own line at `indent`, then `close` one level
// further out.
std::string Block(char open, const std::vector<std::string>& items, size_t indent, char close) {
  std::string text(1, open);
  for (size_t i = 0; i < items.size(); ++i) {
    text.append(i == 0 ? "\n" : ",\n").append(indent, ' ').append(items[i]);
  }
  return text.append("\n").append(indent - 2, ' ').append(1, close);
}

std::string Member(std::string_view key, std::string_view value) {
  return Quoted(key) + ": " + std::string(value);
}

// Names are numbered in one space: types first, then attributes.
class NameSpace {
 public:
  explicit NameSpace(const PolicyShape& shape) : types(shape.types) {}
  bool IsType(uint32_t id) const { return id < types; }
  std::string Name(uint32_t id) const {
    const uint64_t hash = Mix(id);
    const uint64_t roleHash = hash / std::size(DOMAINS);
    if (IsType(id)) {
      return std::string(Pick(DOMAINS, hash)) + "_" + std::string(Pick(TYPE_ROLES, roleHash)) +
             "_" + std::to_string(id) + "_t";
    }
    const uint32_t attr = id - types;
    return std::string(Pick(DOMAINS, hash)) + "_" + std::string(Pick(ATTR_ROLES, roleHash)) + "_" +
           std::to_string(attr);
  }

 private:
  uint32_t types;
};

// Builds the text of one source file. Sections are built before the
// declarations so that every borrowed name is known when "require" is
// written.
class FileBuilder {
 public:
  FileBuilder(const PolicyShape& shape, uint32_t index)
      : shape(shape),
        index(index),
        nameSpace(shape),
        random(Mix(0x706F6C63ULL ^ (uint64_t{index} << 20) ^ shape.types)),
        firstType(ShareStart(shape.types, shape.files, index)),
        typeCount(Share(shape.types, shape.files, index)),
        firstAttr(shape.types + ShareStart(shape.attrs, shape.files, index)),
        attrCount(Share(shape.attrs, shape.files, index)) {}

  std::string Build() {
    const std::string rules = Rules();
    const std::string labeling = Labeling();
    const std::string typeattr = TypeAttr();
    std::vector<std::string> declarations;
    declarations.push_back(Member("type", Block('[', NamesOf(firstType, typeCount), 6, ']')));
    if (attrCount > 0) {
      declarations.push_back(Member("attr", Block('[', NamesOf(firstAttr, attrCount), 6, ']')));
    }
    if (!borrowed.empty()) {
      std::vector<std::string> required;
      for (uint32_t id : borrowed) required.push_back(Quoted(nameSpace.Name(id)));
      declarations.push_back(Member("require", Block('[', required, 6, ']')));
    }
    if (!typeattr.empty()) declarations.push_back(Member("typeattr", typeattr));
    if (!labeling.empty()) declarations.push_back(Member("labeling", labeling));

    std::vector<std::string> top{Member("declarations", Block('{', declarations, 4, '}'))};
    if (!rules.empty()) top.push_back(Member("rules", rules));
    return Block('{', top, 2, '}') + "\n";
  }

 private:
  bool Owns(uint32_t id) const {
    return (id >= firstType && id - firstType < typeCount) ||
           (id >= firstAttr && id - firstAttr < attrCount);
  }
  uint32_t SubjectCount() const { return typeCount + attrCount; }
  uint32_t Subject(uint32_t local) const {
    return local < typeCount ? firstType + local : firstAttr + (local - typeCount);
  }

  // The quoted name of `id`, noted for "require" when another file owns it.
  std::string Use(uint32_t id) {
    if (!Owns(id)) borrowed.insert(id);
    return Quoted(nameSpace.Name(id));
  }
  uint32_t AnyType() { return random.Below(shape.types); }
  uint32_t AnyName() {
    if (shape.attrs == 0 || random.Percent(BORROWED_TYPE_PERCENT)) return AnyType();
    return shape.types + random.Below(shape.attrs);
  }
  uint32_t OwnType() { return firstType + random.Below(typeCount); }
  uint32_t Object() {
    return random.Percent(OWN_OBJECT_PERCENT) ? Subject(random.Below(SubjectCount())) : AnyName();
  }
  uint32_t TypeContext(uint32_t ownPercent) {
    return random.Percent(ownPercent) ? OwnType() : AnyType();
  }

  std::vector<std::string> NamesOf(uint32_t first, uint32_t count) const {
    std::vector<std::string> names;
    for (uint32_t id = first; id < first + count; ++id) names.push_back(Quoted(nameSpace.Name(id)));
    return names;
  }

  // `count` distinct (object, class) pairs for one subject.
  std::vector<std::pair<uint32_t, uint32_t>> ObjectClassPairs(uint32_t count) {
    std::set<std::pair<uint32_t, uint32_t>> seen;
    std::vector<std::pair<uint32_t, uint32_t>> pairs;
    while (pairs.size() < count) {
      const std::pair<uint32_t, uint32_t> pair{Object(), random.Below(CLASS_COUNT)};
      if (seen.insert(pair).second) pairs.push_back(pair);
    }
    return pairs;
  }

  std::string Operations(uint32_t cls) {
    const std::vector<std::string_view>& all = OperationLists()[cls];
    const auto count = static_cast<uint32_t>(all.size());
    const uint32_t wanted = 1 + random.Below(std::min(MAX_OPERATIONS, count));
    std::vector<bool> chosen(all.size());
    for (uint32_t picked = 0; picked < wanted;) {
      const uint32_t position = random.Below(count);
      if (!chosen[position]) ++picked;
      chosen[position] = true;
    }
    std::vector<std::string> names;
    for (size_t i = 0; i < all.size(); ++i) {
      if (chosen[i]) names.push_back(Quoted(all[i]));
    }
    return InlineArray(names);
  }

  std::string Teac(uint32_t count) {
    std::vector<std::string> entries;
    for (const auto& [object, cls] : ObjectClassPairs(count)) {
      entries.push_back(
          InlineObject({Member("object", Use(object)), Member("class", Quoted(ClassName(cls))),
                        Member("operation", Operations(cls))}));
    }
    return Block('[', entries, 8, ']');
  }

  std::string Transitions(uint32_t count) {
    std::vector<std::string> entries;
    for (const auto& [object, cls] : ObjectClassPairs(count)) {
      entries.push_back(
          InlineObject({Member("object", Use(object)), Member("class", Quoted(ClassName(cls))),
                        Member("target", Use(TypeContext(OWN_TARGET_PERCENT)))}));
    }
    return Block('[', entries, 8, ']');
  }

  // One statement per subject of this file that has rules.
  std::string Rules() {
    const uint32_t grants = Share(shape.grantRules, shape.files, index);
    const uint32_t transitions = Share(shape.transitions, shape.files, index);
    const std::string group = Quoted("module_" + std::to_string(index));
    std::vector<std::string> statements;
    for (uint32_t local = 0; local < SubjectCount(); ++local) {
      const uint32_t teacCount = Share(grants, SubjectCount(), local);
      const uint32_t transitionCount = Share(transitions, SubjectCount(), local);
      if (teacCount == 0 && transitionCount == 0) continue;
      std::vector<std::string> members{Member("group", group),
                                       Member("subject", Use(Subject(local)))};
      if (teacCount > 0) members.push_back(Member("teac", Teac(teacCount)));
      if (transitionCount > 0) {
        members.push_back(Member("type_transition", Transitions(transitionCount)));
      }
      statements.push_back(Block('{', members, 6, '}'));
    }
    return statements.empty() ? std::string() : Block('[', statements, 4, ']');
  }

  std::string TypeAttr() {
    std::vector<std::string> entries;
    for (uint32_t type = firstType; type < firstType + typeCount; ++type) {
      const uint32_t links = Share(shape.typeAttrLinks, shape.types, type);
      std::set<uint32_t> attrs;
      while (attrs.size() < links) attrs.insert(shape.types + random.Below(shape.attrs));
      if (attrs.empty()) continue;
      std::vector<std::string> names;
      for (uint32_t attr : attrs) names.push_back(Use(attr));
      entries.push_back(Member(nameSpace.Name(type), InlineArray(names)));
    }
    return entries.empty() ? std::string() : Block('{', entries, 6, '}');
  }

  std::string LabelEntry(std::string_view key, std::string_view keyText) {
    return InlineObject(
        {Member(key, Quoted(keyText)), Member("context", Use(TypeContext(OWN_CONTEXT_PERCENT)))});
  }

  std::string FilePath(uint32_t global) {
    const uint64_t hash = Mix(global ^ 0x66696C65ULL);
    const std::string leaf = std::string(Pick(DOMAINS, hash)) + "_" + std::to_string(global);
    if (global % PREFIXED_PATH_EVERY == PREFIXED_PATH_EVERY - 1) {
      return "sysfs:/devices/platform/" + leaf;
    }
    return std::string(Pick(PATH_DIRS, hash >> 8)) + "/" + leaf +
           std::string(Pick(PATH_SUFFIXES, hash >> 16));
  }

  std::string PacketEntry(uint32_t global) {
    const uint64_t hash = Mix(global ^ 0x7061636BULL);
    const std::string source = "10." + std::to_string((global >> 8) & 0xFF) + "." +
                               std::to_string(global & 0xFF) + ".0/24";
    const std::string destination =
        "192.168." + std::to_string(hash & 0xFF) + "." + std::to_string((hash >> 8) & 0xFF) + "/32";
    return InlineObject({Member("prot", Quoted(Pick(PROTOCOLS, hash >> 16))),
                         Member("source", Quoted(source)),
                         Member("destination", Quoted(destination)),
                         Member("sport", Quoted(global % 2 == 0 ? "1024-65535" : "0-65535")),
                         Member("dport", Quoted(Pick(DESTINATION_PORTS, hash >> 24))),
                         Member("context", Use(TypeContext(OWN_CONTEXT_PERCENT)))});
  }

  // Entries numbered over the whole policy, so that their keys are unique.
  template <typename MakeEntry>
  std::vector<std::string> GlobalEntries(uint32_t total, MakeEntry makeEntry) {
    const uint32_t first = ShareStart(total, shape.files, index);
    std::vector<std::string> entries;
    for (uint32_t global = first; global < first + Share(total, shape.files, index); ++global) {
      entries.push_back(makeEntry(global));
    }
    return entries;
  }

  std::string Labeling() {
    std::vector<std::string> members;
    const auto addMember = [&](std::string_view key, const std::vector<std::string>& entries) {
      if (!entries.empty()) members.push_back(Member(key, Block('[', entries, 8, ']')));
    };
    addMember("file", GlobalEntries(shape.fileContexts, [this](uint32_t global) {
                return LabelEntry("path", FilePath(global));
              }));
    std::vector<std::string> sids;
    if (index == 0) {
      for (std::string_view sid : INITIAL_SIDS) sids.push_back(LabelEntry("sid", sid));
    }
    addMember("reserved_sid", sids);
    addMember("netif", GlobalEntries(shape.netifs, [this](uint32_t global) {
                return LabelEntry("name",
                                  std::string(Pick(NETIF_KINDS, global)) + std::to_string(global));
              }));
    addMember("packet", GlobalEntries(shape.packets,
                                      [this](uint32_t global) { return PacketEntry(global); }));
    return members.empty() ? std::string() : Block('{', members, 6, '}');
  }

  const PolicyShape& shape;
  const uint32_t index;
  const NameSpace nameSpace;
  Random random;
  const uint32_t firstType;
  const uint32_t typeCount;
  const uint32_t firstAttr;  // in the name space: after all types
  const uint32_t attrCount;
  std::set<uint32_t> borrowed;  // names used here and declared in another file
};

}  // namespace

const PolicyShape* FindPreset(std::string_view name) {
  for (const PolicyShape& preset : PRESETS) {
    if (preset.name == name) return &preset;
  }
  return nullptr;
}

std::string CheckShape(const PolicyShape& shape) {
  if (shape.files == 0 || shape.files > MAX_FILES) return "files must be 1 to 9999";
  if (shape.types < shape.files) return "every file needs a type of its own";
  const uint64_t names = uint64_t{shape.types} + shape.attrs;
  if (names > MAX_NAMES) return "more than 65535 types and attributes";
  // A subject draws its (object, class) pairs at random; keep at least half
  // of the pairs free so that drawing stays quick.
  const uint64_t pairsPerSubject = names * CLASS_COUNT / 2;
  const uint32_t fewestSubjects = shape.types / shape.files + shape.attrs / shape.files;
  if (shape.typeAttrLinks > 0 && LargestShare(shape.typeAttrLinks, shape.types) > shape.attrs) {
    return "too few attributes for the typeattr links";
  }
  if (LargestShare(LargestShare(shape.grantRules, shape.files), fewestSubjects) > pairsPerSubject ||
      LargestShare(LargestShare(shape.transitions, shape.files), fewestSubjects) >
          pairsPerSubject) {
    return "too many rules per subject";
  }
  if (shape.packets > MAX_PACKETS) return "more than 65536 packets";
  return {};
}

std::string PolicyFileName(uint32_t index) {
  std::string digits = std::to_string(index);
  digits.insert(0, digits.size() < 4 ? 4 - digits.size() : 0, '0');
  return "policy_" + digits + ".json";
}

std::string GeneratePolicyFile(const PolicyShape& shape, uint32_t index) {
  return FileBuilder(shape, index).Build();
}

}  // namespace polc_bench

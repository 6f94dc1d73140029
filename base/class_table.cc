#include "base/class_table.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <numeric>
#include <string>
#include <string_view>
#include <type_traits>

namespace {

// Up to 32 operations in bit order; the entry after the last is always null.
using OperationList = std::array<const char*, 33>;

struct ClassRow {
  const char* name;  // null only in the terminating row
  OperationList operations;
};

// All socket classes share these, so an operation has the same bit in each.
constexpr OperationList SOCKET_OPERATIONS = {
    "create", "shutdown", "bind",  "connect", "accept", "listen",  "write",
    "read",   "recvfrom", "ioctl", "setopt",  "getopt", "getattr",
};

constexpr OperationList IPC_OPERATIONS = {
    "create", "associate", "read", "write", "destroy", "getattr", "setattr",
};

constexpr OperationList PERSISTENCY_OPERATIONS = {"read", "write", "open"};

// Appends one operation to a shared list, for the IPC classes that add one
// of their own.
constexpr OperationList With(OperationList operations, const char* extra) {
  for (const char*& entry : operations) {
    if (entry == nullptr) {
      entry = extra;
      break;
    }
  }
  return operations;
}

constexpr std::array<ClassRow, CLASS_COUNT + 1> CLASS_TABLE = {{
    {"process",
     {"fork", "transition", "sigkill", "sigstop", "signal", "getsched", "setsched", "getpgid",
      "setpgid", "setrlimit", "getrlimit", "getattr", "setcurrent", "ptrace", "dyntransition",
      "settaskmon", "gettaskmon"}},
    {"file",
     {"create", "getattr", "setattr", "open", "read", "write", "rename", "relabelfrom", "relabelto",
      "link", "lock", "execute", "ioctl", "map", "unlink", "entrypoint", "mounton"}},
    {"dir",
     {"create", "getattr", "setattr", "open", "read", "write", "rename", "relabelfrom", "relabelto",
      "link", "lock", "rmdir", "mounton"}},
    {"shm", With(IPC_OPERATIONS, "lock")},
    {"msgq", With(IPC_OPERATIONS, "enqueue")},
    {"sem", IPC_OPERATIONS},
    {"socket", SOCKET_OPERATIONS},
    {"tcp_socket", SOCKET_OPERATIONS},
    {"udp_socket", SOCKET_OPERATIONS},
    {"unix_stream_socket", SOCKET_OPERATIONS},
    {"unix_dgram_socket", SOCKET_OPERATIONS},
    {"can_socket", SOCKET_OPERATIONS},
    {"rawip_socket", SOCKET_OPERATIONS},
    {"packet_socket", SOCKET_OPERATIONS},
    {"netlink_socket", SOCKET_OPERATIONS},
    {"system",
     {"sys_time", "set_cap", "system_proxy_mon_set", "reboot", "net_admin", "ipc_info", "sys_admin",
      "sys_chroot", "sys_module"}},
    {"varo",
     {"setenforce", "checkcontext", "computeaccess", "loadrule", "setfilecontext",
      "getfilecontext"}},
    {"msg", {"send", "receive"}},
    {"field", {"set", "get", "setget"}},
    {"method", {"setget"}},
    {"event", {"set", "get"}},
    {"service", {"offer", "find"}},
    {"sipc_topic", {"register_reader", "register_writer", "bind_writer"}},
    {"key", {"derive", "delete", "create", "export", "use"}},
    {"dds_discovery", {"join_domain"}},
    {"someip_uds", {"common"}},
    {"cert", {"create", "import", "export", "delete", "use"}},
    {"per_kv_group", PERSISTENCY_OPERATIONS},
    {"per_local_file", PERSISTENCY_OPERATIONS},
    {"per_remote_file", PERSISTENCY_OPERATIONS},
    {nullptr, {}},
}};

constexpr bool EveryListEndsWithNull() {
  for (const ClassRow& row : CLASS_TABLE) {
    if (row.operations.back() != nullptr) return false;
  }
  return true;
}
static_assert(EveryListEndsWithNull(), "a class has more than 32 operations");
static_assert(CLASS_TABLE[CLASS_COUNT - 1].name != nullptr &&
              CLASS_TABLE[CLASS_COUNT].name == nullptr);

// The row of a valid class index, or null. The test wraps in 16 bits, so
// index 0 becomes 65535 and fails with everything above 30.
const ClassRow* FindRow(uint16_t classIndex) {
  const uint16_t position = static_cast<uint16_t>(classIndex - 1);
  return position < CLASS_COUNT ? &CLASS_TABLE[position] : nullptr;
}

// Every class name and every operation of every class, in one open-addressed
// table built at compile time: the rules of a large policy name a class and
// its operations millions of times, and a scan comparing texts row by row
// cost a third of reading them. An entry's tag is 0 for a class name and
// the class index for an operation, so "read" of "file" and "read" of
// "socket" are different entries.
struct NameEntry {
  const char* name = nullptr;  // null: a free slot
  uint64_t head = 0;           // HeadOf the name
  uint32_t length = 0;
  uint16_t tag = 0;
  uint32_t value = 0;  // class index, or operation bit
};

constexpr uint32_t NAME_SLOT_BITS = 10;
constexpr size_t NAME_SLOTS = size_t{1} << NAME_SLOT_BITS;  // over twice the entries

// The first min(length, 8) bytes of `text`, the first the lowest, the rest
// zero: most names end within them, and then one comparison of two words
// tells whether two names of a length are the same.
constexpr uint64_t HeadOf(const char* text, uint32_t length) {
  uint64_t head = 0;
  if (std::is_constant_evaluated() || length < 4) {
    for (uint32_t i = 0; i < length && i < 8; ++i) {
      head |= uint64_t{static_cast<unsigned char>(text[i])} << (8 * i);
    }
  } else if (length < 8) {
    // Two loads that overlap: the bytes both hold land where they belong.
    uint32_t low = 0;
    uint32_t high = 0;
    std::memcpy(&low, text, 4);
    std::memcpy(&high, text + length - 4, 4);
    head = uint64_t{low} | uint64_t{high} << (8 * (length - 4));
  } else {
    std::memcpy(&head, text, 8);
  }
  return head;
}

// A name's slot comes from its length, its first eight bytes and its tag,
// mixed by one multiplication: the names are short, so these tell nearly
// all of them apart, and the probes that follow rarely go past the first.
struct NameKey {
  uint64_t head;
  uint32_t length;
  uint32_t slot;
};

constexpr NameKey KeyOf(uint16_t tag, const char* text) {
  const auto length = static_cast<uint32_t>(std::char_traits<char>::length(text));
  const uint64_t head = HeadOf(text, length);
  const uint64_t mixed = (head ^ (uint64_t{tag} << 48) ^ length) * 0x9E3779B97F4A7C15ull;
  return {head, length, static_cast<uint32_t>(mixed >> (64 - NAME_SLOT_BITS))};
}

constexpr void AddName(std::array<NameEntry, NAME_SLOTS>& slots, uint16_t tag, const char* name,
                       uint32_t value) {
  const NameKey key = KeyOf(tag, name);
  size_t slot = key.slot;
  while (slots[slot].name != nullptr) slot = (slot + 1) & (NAME_SLOTS - 1);
  slots[slot] = {name, key.head, key.length, tag, value};
}

constexpr std::array<NameEntry, NAME_SLOTS> BuildNameTable() {
  std::array<NameEntry, NAME_SLOTS> slots{};
  size_t entries = 0;
  for (uint16_t position = 0; position < CLASS_COUNT; ++position) {
    const auto classIndex = static_cast<uint16_t>(position + 1);
    AddName(slots, 0, CLASS_TABLE[position].name, classIndex);
    ++entries;
    const OperationList& operations = CLASS_TABLE[position].operations;
    for (uint32_t bit = 0; operations[bit] != nullptr; ++bit) {
      AddName(slots, classIndex, operations[bit], uint32_t{1} << bit);
      ++entries;
    }
  }
  if (entries * 2 > NAME_SLOTS) throw "the name table is too small";
  return slots;
}

constexpr std::array<NameEntry, NAME_SLOTS> NAME_TABLE = BuildNameTable();

// The value of `text` under `tag`, or 0 when the table has no such entry.
uint32_t LookUpName(uint16_t tag, const char* text) {
  const NameKey key = KeyOf(tag, text);
  for (size_t slot = key.slot;; slot = (slot + 1) & (NAME_SLOTS - 1)) {
    const NameEntry& entry = NAME_TABLE[slot];
    if (entry.name == nullptr) return 0;
    if (entry.head == key.head && entry.tag == tag && entry.length == key.length &&
        (key.length <= 8 || std::memcmp(entry.name + 8, text + 8, key.length - 8) == 0)) {
      return entry.value;
    }
  }
}

}  // namespace

uint16_t GetClassIndex(const char* className) {
  if (className == nullptr) return 0;
  return static_cast<uint16_t>(LookUpName(0, className));
}

uint32_t GetOperationBit(uint16_t classIndex, const char* operation) {
  if (FindRow(classIndex) == nullptr || operation == nullptr) return 0;
  return LookUpName(classIndex, operation);
}

const char* GetOperationName(uint16_t classIndex, uint32_t bit) {
  const ClassRow* row = FindRow(classIndex);
  if (row == nullptr || std::popcount(bit) != 1) return nullptr;
  return row->operations[std::countr_zero(bit)];
}

const char* GetClassName(uint16_t classIndex) {
  const ClassRow* row = FindRow(classIndex);
  return row == nullptr ? nullptr : row->name;
}

uint16_t ClassNameRank(uint16_t classIndex) {
  static const auto RANKS = [] {
    std::array<uint16_t, CLASS_COUNT> classes;
    std::iota(classes.begin(), classes.end(), uint16_t{1});
    std::sort(classes.begin(), classes.end(), [](uint16_t a, uint16_t b) {
      return std::strcmp(GetClassName(a), GetClassName(b)) < 0;
    });
    std::array<uint16_t, CLASS_COUNT + 1> result{};
    for (uint16_t rank = 0; rank < CLASS_COUNT; ++rank) result[classes[rank]] = rank;
    return result;
  }();
  return FindRow(classIndex) == nullptr ? 0 : RANKS[classIndex];
}

namespace {

// "0x1" to "0x80000000": the hex text of each single bit.
using BitText = std::array<char, 11>;

constexpr std::array<BitText, 32> BuildBitTexts() {
  std::array<BitText, 32> texts{};
  for (unsigned position = 0; position < 32; ++position) {
    BitText& text = texts[position];
    text[0] = '0';
    text[1] = 'x';
    const unsigned digits = position / 4 + 1;
    for (unsigned digit = 0; digit < digits; ++digit) text[2 + digit] = '0';
    text[2] = "1248"[position % 4];
    text[2 + digits] = '\0';
  }
  return texts;
}

constexpr std::array<BitText, 32> BIT_TEXTS = BuildBitTexts();

// By class index: its operations' bit positions in the order of their names.
using NameOrder = std::array<uint8_t, 32>;

constexpr std::array<NameOrder, CLASS_COUNT + 1> BuildNameOrders() {
  std::array<NameOrder, CLASS_COUNT + 1> orders{};
  for (uint16_t position = 0; position < CLASS_COUNT; ++position) {
    const OperationList& operations = CLASS_TABLE[position].operations;
    NameOrder& order = orders[position + 1];
    size_t count = 0;
    while (operations[count] != nullptr) {
      order[count] = static_cast<uint8_t>(count);
      ++count;
    }
    std::sort(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(count),
              [&operations](uint8_t a, uint8_t b) {
                return std::string_view(operations[a]) < std::string_view(operations[b]);
              });
  }
  return orders;
}

constexpr std::array<NameOrder, CLASS_COUNT + 1> NAME_ORDERS = BuildNameOrders();

}  // namespace

// Every bit below the first null entry of the class's list.
uint32_t OperationBits(uint16_t classIndex) {
  const ClassRow* row = FindRow(classIndex);
  if (row == nullptr) return 0;
  const auto named = static_cast<unsigned>(
      std::find(row->operations.begin(), row->operations.end(), nullptr) - row->operations.begin());
  return named == 32 ? UINT32_MAX : (uint32_t{1} << named) - 1;
}

OperationNameList OperationNames(uint16_t classIndex, uint32_t bits, OperationOrder order) {
  OperationNameList list;
  const ClassRow* row = FindRow(classIndex);
  uint32_t unnamed = bits;
  if (row != nullptr) {
    const uint32_t namedBits = OperationBits(classIndex);
    unnamed = bits & ~namedBits;
    if (order == OperationOrder::BY_NAME) {
      for (unsigned place = 0; place < static_cast<unsigned>(std::popcount(namedBits)); ++place) {
        const uint8_t position = NAME_ORDERS[classIndex][place];
        if ((bits >> position & 1) != 0) list.names[list.count++] = row->operations[position];
      }
    } else {
      for (uint32_t rest = bits & namedBits; rest != 0; rest &= rest - 1) {
        list.names[list.count++] = row->operations[std::countr_zero(rest)];
      }
    }
  }
  // The unnamed bits all lie above the named ones, so bit order holds.
  for (uint32_t rest = unnamed; rest != 0; rest &= rest - 1) {
    list.names[list.count++] = BIT_TEXTS[std::countr_zero(rest)].data();
  }
  return list;
}

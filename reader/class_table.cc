#include "reader/class_table.h"

#include <array>
#include <bit>
#include <cstring>

namespace {

// Up to 32 operations in bit order; the entry after the last is always null.
using OperationList = std::array<const char*, 33>;

struct ClassRow {
  const char* name;  // null only in the terminating row
  OperationList operations;
};

constexpr uint16_t kClassCount = 30;

// All socket classes share these, so an operation has the same bit in each.
constexpr OperationList kSocketOperations = {
    "create", "shutdown", "bind",  "connect", "accept", "listen",  "write",
    "read",   "recvfrom", "ioctl", "setopt",  "getopt", "getattr",
};

constexpr OperationList kIpcOperations = {
    "create", "associate", "read", "write", "destroy", "getattr", "setattr",
};

constexpr OperationList kPersistencyOperations = {"read", "write", "open"};

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

constexpr std::array<ClassRow, kClassCount + 1> kClassTable = {{
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
    {"shm", With(kIpcOperations, "lock")},
    {"msgq", With(kIpcOperations, "enqueue")},
    {"sem", kIpcOperations},
    {"socket", kSocketOperations},
    {"tcp_socket", kSocketOperations},
    {"udp_socket", kSocketOperations},
    {"unix_stream_socket", kSocketOperations},
    {"unix_dgram_socket", kSocketOperations},
    {"can_socket", kSocketOperations},
    {"rawip_socket", kSocketOperations},
    {"packet_socket", kSocketOperations},
    {"netlink_socket", kSocketOperations},
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
    {"per_kv_group", kPersistencyOperations},
    {"per_local_file", kPersistencyOperations},
    {"per_remote_file", kPersistencyOperations},
    {nullptr, {}},
}};

constexpr bool EveryListEndsWithNull() {
  for (const ClassRow& row : kClassTable) {
    if (row.operations.back() != nullptr) return false;
  }
  return true;
}
static_assert(EveryListEndsWithNull(), "a class has more than 32 operations");
static_assert(kClassTable[kClassCount - 1].name != nullptr &&
              kClassTable[kClassCount].name == nullptr);

// The row of a valid class index, or null. The test wraps in 16 bits, so
// index 0 becomes 65535 and fails with everything above 30.
const ClassRow* FindRow(uint16_t classIndex) {
  const uint16_t position = static_cast<uint16_t>(classIndex - 1);
  return position < kClassCount ? &kClassTable[position] : nullptr;
}

// Equal texts, `a` being a table name (never empty). Names of a row almost
// always differ in their first two bytes, which are compared here before
// strcmp is called; b[1] exists once b[0] equals a non-NUL a[0].
bool SameName(const char* a, const char* b) {
  return a[0] == b[0] && a[1] == b[1] && std::strcmp(a, b) == 0;
}

}  // namespace

uint16_t GetClassIndex(const char* className) {
  if (className == nullptr) return 0;
  for (uint16_t position = 0; kClassTable[position].name != nullptr; ++position) {
    if (SameName(kClassTable[position].name, className)) {
      return static_cast<uint16_t>(position + 1);
    }
  }
  return 0;
}

uint32_t GetOperationBit(uint16_t classIndex, const char* operation) {
  const ClassRow* row = FindRow(classIndex);
  if (row == nullptr || operation == nullptr) return 0;
  for (uint32_t position = 0; row->operations[position] != nullptr; ++position) {
    if (SameName(row->operations[position], operation)) return uint32_t{1} << position;
  }
  return 0;
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

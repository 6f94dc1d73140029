#include "tools/polcq/permission_map.h"

#include <algorithm>
#include <bit>
#include <cassert>
#include <memory>
#include <string_view>
#include <vector>

#include "reader/json_access.h"
#include "reader/source_loader.h"
#include "tools/image/policy_text.h"

namespace {

constexpr std::string_view DIRECTIONS[] = {"none", "read", "write", "both"};

std::string Quoted(const char* text) { return '"' + Printable(text) + '"'; }

// The members of `value`, an object, in order; false for any other value.
bool Members(JsonValue* value, std::vector<JsonValue*>& members) {
  JsonValue* member = nullptr;
  if (JsonGetKind(value) != JSON_OBJECT) return false;
  if (JsonGetFirstChild(value, &member) != JSON_OK) return true;
  for (; member != nullptr; member = NextMember(member)) members.push_back(member);
  return true;
}

// {"flow": ..., "weight": ...}, both required, nothing else.
std::string ReadOperationFlow(JsonValue* value, OperationFlow& flow) {
  std::vector<JsonValue*> members;
  JsonValue* direction = nullptr;
  JsonValue* weight = nullptr;
  if (!Members(value, members) || members.size() != 2 ||
      JsonGetObjectItem(value, "flow", &direction) != JSON_OK ||
      JsonGetObjectItem(value, "weight", &weight) != JSON_OK) {
    return "expected {\"flow\": DIRECTION, \"weight\": WEIGHT}";
  }
  const char* text = nullptr;
  const auto* found = std::find(std::begin(DIRECTIONS), std::end(DIRECTIONS),
                                GetString(direction, &text) ? text : "");
  if (found == std::end(DIRECTIONS)) return "\"flow\" is not one of read, write, both, none";
  if (JsonGetKind(weight) != JSON_NUMBER || (weight->tag & JSON_FLAG_DOUBLE) != 0 ||
      weight->integer < 1 || weight->integer > 10) {
    return "\"weight\" is not a whole number from 1 to 10";
  }
  flow = {static_cast<FlowDirection>(found - std::begin(DIRECTIONS)),
          static_cast<uint8_t>(weight->integer)};
  return "";
}

std::string ReadClass(JsonValue* value, uint16_t tclass, std::array<OperationFlow, 32>& flows) {
  const std::string className = GetClassName(tclass);
  std::vector<JsonValue*> operations;
  if (!Members(value, operations)) return "class " + className + ": expected an object";
  for (JsonValue* operation : operations) {
    const uint32_t bit = GetOperationBit(tclass, MemberKey(operation));
    if (bit == 0) return "class " + className + " has no operation " + Quoted(MemberKey(operation));
    OperationFlow& flow = flows[std::countr_zero(bit)];
    const std::string where = className + ' ' + MemberKey(operation);
    if (flow.weight != 0) return where + " is given twice";
    const std::string error = ReadOperationFlow(operation, flow);
    if (!error.empty()) return where + ": " + error;
  }
  return "";
}

}  // namespace

uint32_t PermissionMap::Bits(uint16_t tclass, FlowDirection direction, uint32_t weight) const {
  uint32_t bits = 0;
  for (uint32_t position = 0; position < 32; ++position) {
    const OperationFlow& flow = operations[tclass][position];
    if ((flow.direction == direction || flow.direction == FlowDirection::BOTH) &&
        flow.weight >= weight) {
      bits |= uint32_t{1} << position;
    }
  }
  return bits;
}

uint32_t PermissionMap::Weight(uint16_t tclass, uint32_t bits) const {
  uint32_t weight = 0;
  for (uint32_t rest = bits; rest != 0; rest &= rest - 1) {
    weight = std::max<uint32_t>(weight, operations[tclass][std::countr_zero(rest)].weight);
  }
  return weight;
}

std::string ParsePermissionMap(const char* text, size_t size, PermissionMap& map) {
  const LoadedSource source = ParseSource(text, size);
  if (source.status != LoadedSource::Status::LOADED) return "not valid JSON";
  std::vector<JsonValue*> classes;
  if (!Members(source.tree.get(), classes)) return "expected an object of classes";
  map = {};
  for (JsonValue* entry : classes) {
    const uint16_t tclass = GetClassIndex(MemberKey(entry));
    if (tclass == 0) return "no class is named " + Quoted(MemberKey(entry));
    const auto& flows = map.operations[tclass];
    if (std::any_of(flows.begin(), flows.end(), [](const OperationFlow& f) { return f.weight; })) {
      return "class " + std::string(MemberKey(entry)) + " is given twice";
    }
    const std::string error = ReadClass(entry, tclass, map.operations[tclass]);
    if (!error.empty()) return error;
  }
  return "";
}

std::string LoadPermissionMap(const std::string& path, PermissionMap& map) {
  SourceText text;
  size_t size = 0;
  if (ReadSourceFile(path, text, size) != 0) return "cannot read the file";
  return ParsePermissionMap(text.get(), size, map);
}

PermissionMap ShippedPermissionMap() {
  PermissionMap map;
  [[maybe_unused]] const std::string error =
      ParsePermissionMap(SHIPPED_PERMISSION_MAP, SHIPPED_PERMISSION_MAP_SIZE, map);
  assert(error.empty());
  return map;
}

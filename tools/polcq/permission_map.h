// How information moves when a subject has an operation on an object, for
// polcq flow. A permission map is a JSON document:
//   {"CLASS": {"OPERATION": {"flow": "read|write|both|none", "weight": 1-10}}}
// "read" moves information from the object to the subject, "write" from the
// subject to the object; the weight says how much, from 1 (barely) to 10
// (wholly). Operations a map leaves out move nothing. polcq ships a map of
// the whole class table (schema/permission_map.json, built into polcq).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "base/class_table.h"

enum class FlowDirection : uint8_t { NONE, READ, WRITE, BOTH };

struct OperationFlow {
  FlowDirection direction = FlowDirection::NONE;
  uint8_t weight = 0;  // 1 to 10; 0: the map leaves the operation out
};

struct PermissionMap {
  // By class index, then by bit position.
  std::array<std::array<OperationFlow, 32>, CLASS_COUNT + 1> operations;

  // The bits of class `tclass` that move information in `direction` (READ
  // or WRITE; a BOTH operation moves it either way) with at least `weight`.
  uint32_t Bits(uint16_t tclass, FlowDirection direction, uint32_t weight) const;
  // The highest weight among the operations of `bits`.
  uint32_t Weight(uint16_t tclass, uint32_t bits) const;
};

// Reads the map in the `size` bytes of `text` (NUL-terminated): an empty
// string, or what is wrong and where ("class file: no operation \"reed\"").
// `map` is complete only on success.
std::string ParsePermissionMap(const char* text, size_t size, PermissionMap& map);

// Reads the map file at `path`, the same way.
std::string LoadPermissionMap(const std::string& path, PermissionMap& map);

// The map polcq ships.
PermissionMap ShippedPermissionMap();

// The text of the shipped map, as schema/permission_map.json holds it.
extern const char SHIPPED_PERMISSION_MAP[];
extern const size_t SHIPPED_PERMISSION_MAP_SIZE;

// The fixed vocabulary of object classes and the operations a rule may grant
// on each. A class is its 1-based position in the table (1 to 30; 0 means no
// class); an operation is the single bit 1 << p, p being its 0-based place in
// its class's list, so the same name has different bits in different classes
// ("read" is 0x10 for "file" but 0x80 for "socket"). Names compare exactly,
// case included. Policy files cannot extend the table.
#pragma once

#include <cstdint>

// Classes in the table; their indexes run from 1 to CLASS_COUNT.
inline constexpr uint16_t CLASS_COUNT = 30;

// Index of the class `className`, or 0 when it is null or unknown.
uint16_t GetClassIndex(const char* className);

// Bit of `operation` within class `classIndex`, or 0 when the index is not
// 1 to 30, the name is null, or the class has no such operation.
uint32_t GetOperationBit(uint16_t classIndex, const char* operation);

// Name of the operation with bit `bit` in class `classIndex`, or null when
// the index is not 1 to 30, `bit` does not have exactly one bit set, or the
// class has no operation at that position.
const char* GetOperationName(uint16_t classIndex, uint32_t bit);

// Name of class `classIndex`, or null when the index is not 1 to 30.
const char* GetClassName(uint16_t classIndex);

// The place of class `classIndex` among the class names in order, 0 to 29,
// so that classes sort by name without comparing names; 0 when the index is
// not 1 to 30.
uint16_t ClassNameRank(uint16_t classIndex);

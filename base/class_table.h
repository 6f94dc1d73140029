// The fixed vocabulary of object classes and the operations a rule may grant
// on each. A class is its 1-based position in the table (1 to 30; 0 means no
// class); an operation is the single bit 1 << p, p being its 0-based place in
// its class's list, so the same name has different bits in different classes
// ("read" is 0x10 for "file" but 0x80 for "socket"). Names compare exactly,
// case included. Policy files cannot extend the table.
#pragma once

#include <array>
#include <cstddef>
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

// Every operation bit of class `classIndex`; 0 when the index is not 1 to 30.
uint32_t OperationBits(uint16_t classIndex);

// The order in which OperationNames lists the operations of a rule.
enum class OperationOrder {
  BY_BIT,   // as the class table numbers them
  BY_NAME,  // by name in byte order, then the bits without a name by bit
};

// Names of some operations of one class, texts that live as long as the
// program: a list costs no allocation, for printers that name the
// operations of millions of rules.
struct OperationNameList {
  std::array<const char*, 32> names;  // the first `count` are set
  size_t count = 0;

  const char* const* begin() const { return names.data(); }
  const char* const* end() const { return names.data() + count; }
  size_t size() const { return count; }
};

// The operations of `bits` in class `classIndex`, each by its name or, for
// a bit the class has no operation at (every bit, for an index not 1 to 30),
// as "0x" and the bit in lower-case hex. Every printer of operations lists
// them through this.
OperationNameList OperationNames(uint16_t classIndex, uint32_t bits,
                                 OperationOrder order = OperationOrder::BY_BIT);

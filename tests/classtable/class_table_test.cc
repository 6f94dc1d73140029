#include "reader/class_table.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// Names give their index and every index 1..30 its name back; anything else
// has no class.
TEST(ClassTable, ClassNamesAndIndexes) {
  const std::pair<const char*, uint16_t> rows[] = {{"process", 1}, {"file", 2},
                                                   {"socket", 7},  {"netlink_socket", 15},
                                                   {"varo", 17},   {"per_remote_file", 30},
                                                   {"Process", 0}, {"process ", 0},
                                                   {"proc", 0},    {"", 0},
                                                   {nullptr, 0}};
  for (const auto& [name, index] : rows) {
    EXPECT_EQ(GetClassIndex(name), index) << (name == nullptr ? "(null)" : name);
  }
  for (uint16_t index = 1; index <= 30; ++index) {
    ASSERT_NE(GetClassName(index), nullptr) << index;
    EXPECT_EQ(GetClassIndex(GetClassName(index)), index);
  }
  for (const uint16_t index : {0, 31, 65535}) EXPECT_EQ(GetClassName(index), nullptr) << index;
}

// Both directions: the name gives the bit, and the bit gives the name back.
TEST(ClassTable, OperationBitsAndNames) {
  const struct {
    uint16_t classIndex;
    const char* operation;
    uint32_t bit;
  } rows[] = {
      {1, "fork", 0x1},        {1, "gettaskmon", 0x10000}, {2, "read", 0x10},
      {2, "mounton", 0x10000}, {3, "rmdir", 0x800},        {4, "lock", 0x80},
      {5, "enqueue", 0x80},    {6, "setattr", 0x40},       {7, "read", 0x80},
      {15, "getattr", 0x1000}, {16, "sys_module", 0x100},  {17, "getfilecontext", 0x20},
      {20, "setget", 0x1},     {23, "bind_writer", 0x4},   {30, "open", 0x4},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(std::to_string(row.classIndex) + " " + row.operation);
    EXPECT_EQ(GetOperationBit(row.classIndex, row.operation), row.bit);
    ASSERT_NE(GetOperationName(row.classIndex, row.bit), nullptr);
    EXPECT_STREQ(GetOperationName(row.classIndex, row.bit), row.operation);
  }
  // All nine socket classes give an operation the same bit.
  for (uint16_t index = 7; index <= 15; ++index) {
    EXPECT_EQ(GetOperationBit(index, "create"), 0x1u) << index;
    EXPECT_EQ(GetOperationBit(index, "getattr"), 0x1000u) << index;
    EXPECT_STREQ(GetOperationName(index, 0x2000), nullptr) << index;
  }
}

TEST(ClassTable, UnknownOperationsAndBits) {
  const std::pair<uint16_t, const char*> names[] = {{0, "read"},  {31, "read"}, {65535, "read"},
                                                    {18, "read"}, {2, "Read"},  {2, ""},
                                                    {2, nullptr}, {6, "lock"}};
  for (const auto& [classIndex, operation] : names) {
    EXPECT_EQ(GetOperationBit(classIndex, operation), 0u)
        << classIndex << " " << (operation == nullptr ? "(null)" : operation);
  }
  const std::pair<uint16_t, uint32_t> bits[] = {{2, 0x18},    {2, 0},       {2, 0xFFFFFFFF},
                                                {2, 0x20000}, {18, 0x4},    {0, 0x10},
                                                {31, 0x10},   {65535, 0x1}, {30, 0x80000000}};
  for (const auto& [classIndex, bit] : bits) {
    EXPECT_EQ(GetOperationName(classIndex, bit), nullptr) << classIndex << " " << bit;
  }
}

// Every name of the table finds itself, and only under its own class: a
// name looked up as the other kind, or cut short or extended by a byte,
// does not find it.
TEST(ClassTable, EveryNameFindsOnlyItself) {
  for (uint16_t index = 1; index <= 30; ++index) {
    const std::string name = GetClassName(index);
    SCOPED_TRACE(name);
    EXPECT_EQ(GetOperationBit(index, name.c_str()), 0u);
    EXPECT_NE(GetClassIndex((name + "_").c_str()), index);
    EXPECT_NE(GetClassIndex(name.substr(0, name.size() - 1).c_str()), index);
    for (uint32_t bit = 1; GetOperationName(index, bit) != nullptr; bit <<= 1) {
      const std::string operation = GetOperationName(index, bit);
      SCOPED_TRACE(operation);
      EXPECT_EQ(GetOperationBit(index, operation.c_str()), bit);
      EXPECT_NE(GetClassIndex(operation.c_str()), index);
      EXPECT_EQ(GetOperationBit(index, (operation + "s").c_str()), 0u);
      EXPECT_EQ(GetOperationBit(index, operation.substr(1).c_str()), 0u);
    }
  }
}

// The operation count of every class: the last bit has a name, the next none.
TEST(ClassTable, OperationCounts) {
  const uint32_t counts[30] = {17, 17, 13, 8, 8, 7, 13, 13, 13, 13, 13, 13, 13, 13, 13,
                               9,  6,  2,  3, 1, 2, 2,  3,  5,  1,  1,  5,  3,  3,  3};
  for (uint16_t index = 1; index <= 30; ++index) {
    const uint32_t count = counts[index - 1];
    EXPECT_NE(GetOperationName(index, uint32_t{1} << (count - 1)), nullptr) << index;
    EXPECT_EQ(GetOperationName(index, uint32_t{1} << count), nullptr) << index;
  }
}

}  // namespace

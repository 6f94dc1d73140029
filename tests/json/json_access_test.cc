// The access functions: result codes, out values left alone on failure,
// duplicate keys, the array position cache, unlinking.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "json/json.h"
#include "tests/json/json_test_util.h"

namespace json_test {
namespace {

class JsonAccessTest : public JsonTest {
 protected:
  void SetUp() override {
    JsonTest::SetUp();
    doc_ = Parse(
        "{\"i\":-7,\"d\":1.5,\"s\":\"text\",\"t\":true,\"f\":false,\"n\":null,"
        "\"a\":[3,2.5,\"x\",false,[]],\"o\":{},\"i\":99}");
    ASSERT_NE(doc_, nullptr);
    ASSERT_EQ(JsonGetObjectArray(root(), "a", &array_), JSON_OK);
  }
  void TearDown() override {
    doc_.reset();
    JsonTest::TearDown();
  }
  JsonValue* root() { return doc_.get(); }
  JsonValue* member(const char* key) {
    JsonValue* value = nullptr;
    EXPECT_EQ(JsonGetObjectItem(root(), key, &value), JSON_OK) << key;
    return value;
  }

  Doc doc_;
  JsonValue* array_ = nullptr;
};

// The getter's result for each member kind; the out value must stay
// untouched whenever the result is not JSON_OK.
struct KindRow {
  const char* key;
  int asInt, asDouble, asBool, asString;
};

TEST_F(JsonAccessTest, TypedGettersCheckTheKind) {
  const KindRow rows[] = {
      {"i", JSON_OK, JSON_OTHER_FORM, JSON_FAIL, JSON_FAIL},
      {"d", JSON_OTHER_FORM, JSON_OK, JSON_FAIL, JSON_FAIL},
      {"s", JSON_FAIL, JSON_FAIL, JSON_FAIL, JSON_OK},
      {"t", JSON_FAIL, JSON_FAIL, JSON_OK, JSON_FAIL},
      {"f", JSON_FAIL, JSON_FAIL, JSON_OK, JSON_FAIL},
      {"n", JSON_FAIL, JSON_FAIL, JSON_FAIL, JSON_FAIL},
      {"a", JSON_FAIL, JSON_FAIL, JSON_FAIL, JSON_FAIL},
      {"o", JSON_FAIL, JSON_FAIL, JSON_FAIL, JSON_FAIL},
      {"absent", JSON_FAIL, JSON_FAIL, JSON_FAIL, JSON_FAIL},
  };
  for (const KindRow& row : rows) {
    SCOPED_TRACE(row.key);
    int64_t integer = 12345;
    double real = 0.25;
    uint8_t boolean = 77;
    const char* text = "junk";
    EXPECT_EQ(JsonGetObjectInt(root(), row.key, &integer), row.asInt);
    EXPECT_EQ(JsonGetObjectDouble(root(), row.key, &real), row.asDouble);
    EXPECT_EQ(JsonGetObjectBool(root(), row.key, &boolean), row.asBool);
    EXPECT_EQ(JsonGetObjectString(root(), row.key, &text), row.asString);
    EXPECT_EQ(integer, row.asInt == JSON_OK ? -7 : 12345);
    EXPECT_EQ(real, row.asDouble == JSON_OK ? 1.5 : 0.25);
    EXPECT_EQ(boolean, row.asBool != JSON_OK ? 77 : std::strcmp(row.key, "t") == 0 ? 1 : 0);
    EXPECT_STREQ(text, row.asString == JSON_OK ? "text" : "junk");
    JsonValue* value = nullptr;
    if (JsonGetObjectItem(root(), row.key, &value) == JSON_OK) {
      EXPECT_EQ(JsonGetInt(value, &integer), row.asInt);
      EXPECT_EQ(JsonGetDouble(value, &real), row.asDouble);
      EXPECT_EQ(JsonGetBool(value, &boolean), row.asBool);
      EXPECT_EQ(JsonGetString(value, &text), row.asString);
      EXPECT_EQ(JsonGetStringValue(value), row.asString == JSON_OK ? text : nullptr);
      EXPECT_EQ(JsonGetArraySize(value), std::strcmp(row.key, "a") == 0 ? 5u : 0u);
    }
  }
}

TEST_F(JsonAccessTest, ArrayGettersCheckIndexAndKind) {
  int64_t integer = 0;
  double real = 0;
  uint8_t boolean = 9;
  const char* text = nullptr;
  EXPECT_EQ(JsonGetArrayInt(array_, 0, &integer), JSON_OK);
  EXPECT_EQ(integer, 3);
  EXPECT_EQ(JsonGetArrayDouble(array_, 0, &real), JSON_OTHER_FORM);
  EXPECT_EQ(JsonGetArrayInt(array_, 1, &integer), JSON_OTHER_FORM);
  EXPECT_EQ(JsonGetArrayDouble(array_, 1, &real), JSON_OK);
  EXPECT_EQ(real, 2.5);
  EXPECT_EQ(JsonGetArrayString(array_, 1, &text), JSON_FAIL);
  EXPECT_EQ(JsonGetArrayString(array_, 2, &text), JSON_OK);
  EXPECT_STREQ(text, "x");
  EXPECT_EQ(JsonGetArrayBool(array_, 3, &boolean), JSON_OK);
  EXPECT_EQ(boolean, 0);
  EXPECT_EQ(JsonGetArrayBool(array_, 2, &boolean), JSON_FAIL);
  EXPECT_EQ(JsonGetArrayString(array_, 5, &text), JSON_FAIL);
  EXPECT_STREQ(text, "x") << "left alone past the end";

  JsonValue* element = root();
  EXPECT_EQ(JsonGetArrayItem(array_, 5, &element), JSON_FAIL);
  EXPECT_EQ(element, nullptr) << "index == count stores null";
  element = root();
  EXPECT_EQ(JsonGetArrayItem(member("o"), 0, &element), JSON_FAIL);
  EXPECT_EQ(element, root()) << "not an array: left alone";
  ASSERT_EQ(JsonGetArrayItem(array_, 4, &element), JSON_OK);
  EXPECT_EQ(JsonGetArraySize(element), 0u);
}

TEST_F(JsonAccessTest, NullArgumentsFail) {
  JsonValue* value;
  const char* text;
  int64_t integer;
  double real;
  uint8_t boolean;
  char buffer[8];
  EXPECT_EQ(JsonGetInt(nullptr, &integer), JSON_FAIL);
  EXPECT_EQ(JsonGetInt(member("i"), nullptr), JSON_FAIL);
  EXPECT_EQ(JsonGetDouble(member("d"), nullptr), JSON_FAIL);
  EXPECT_EQ(JsonGetBool(member("t"), nullptr), JSON_FAIL);
  EXPECT_EQ(JsonGetBool(nullptr, &boolean), JSON_FAIL);
  EXPECT_EQ(JsonGetString(member("s"), nullptr), JSON_FAIL);
  EXPECT_EQ(JsonGetStringValue(nullptr), nullptr);
  EXPECT_EQ(JsonGetKey(nullptr, &text), JSON_FAIL);
  EXPECT_EQ(JsonGetKey(member("s"), nullptr), JSON_FAIL);
  EXPECT_EQ(JsonGetNext(nullptr, &value), JSON_FAIL);
  EXPECT_EQ(JsonGetNext(member("s"), nullptr), JSON_FAIL);
  EXPECT_EQ(JsonGetFirstChild(nullptr, &value), JSON_FAIL);
  EXPECT_EQ(JsonGetFirstChild(root(), nullptr), JSON_FAIL);
  EXPECT_EQ(JsonGetObjectItem(nullptr, "s", &value), JSON_FAIL);
  EXPECT_EQ(JsonGetObjectItem(root(), nullptr, &value), JSON_FAIL);
  EXPECT_EQ(JsonGetObjectItem(root(), "s", nullptr), JSON_FAIL);
  EXPECT_EQ(JsonGetObjectString(root(), "s", nullptr), JSON_FAIL);
  EXPECT_EQ(JsonGetObjectInt(root(), nullptr, &integer), JSON_FAIL);
  EXPECT_EQ(JsonGetObjectDouble(nullptr, "d", &real), JSON_FAIL);
  EXPECT_EQ(JsonGetObjectBool(root(), "t", nullptr), JSON_FAIL);
  EXPECT_EQ(JsonGetObjectArray(root(), "a", nullptr), JSON_FAIL);
  EXPECT_EQ(JsonCopyObjectString(root(), "s", nullptr, 8), JSON_FAIL);
  EXPECT_EQ(JsonCopyObjectString(nullptr, "s", buffer, sizeof(buffer)), JSON_FAIL);
  EXPECT_EQ(JsonGetArraySize(nullptr), 0u);
  EXPECT_EQ(JsonGetArrayItem(nullptr, 0, &value), JSON_FAIL);
  EXPECT_EQ(JsonGetArrayItem(array_, 0, nullptr), JSON_FAIL);
  EXPECT_EQ(JsonGetArrayString(array_, 2, nullptr), JSON_FAIL);
  EXPECT_EQ(JsonGetArrayInt(nullptr, 0, &integer), JSON_FAIL);
  EXPECT_EQ(JsonGetArrayDouble(array_, 1, nullptr), JSON_FAIL);
  EXPECT_EQ(JsonGetArrayBool(array_, 3, nullptr), JSON_FAIL);
  EXPECT_EQ(JsonDetachObjectItem(nullptr, "s"), nullptr);
  EXPECT_EQ(JsonDetachObjectItem(root(), nullptr), nullptr);
  EXPECT_EQ(JsonDetachArrayItem(nullptr, 0), nullptr);
  EXPECT_EQ(JsonDeleteObjectItem(nullptr, "s"), JSON_FAIL);
  EXPECT_EQ(JsonDeleteArrayItem(nullptr, 0), JSON_FAIL);
}

// Walking members in document order is what Dump does; here the ends of
// the walk, which leave the out value alone.
TEST_F(JsonAccessTest, WalkEndsLeaveTheOutValueAlone) {
  JsonValue* last;
  ASSERT_EQ(JsonGetArrayItem(array_, 4, &last), JSON_OK);
  JsonValue* untouched = root();
  EXPECT_EQ(JsonGetNext(last, &untouched), JSON_NO_NEXT);
  EXPECT_EQ(JsonGetFirstChild(member("o"), &untouched), JSON_NO_MEMBER);
  EXPECT_EQ(JsonGetFirstChild(array_, &untouched), JSON_FAIL);
  EXPECT_EQ(JsonGetNext(root(), &untouched), JSON_NO_NEXT);
  EXPECT_EQ(untouched, root());
  const char* key = "junk";
  EXPECT_EQ(JsonGetKey(root(), &key), JSON_FAIL) << "a root carries no key";
  EXPECT_STREQ(key, "junk");
}

TEST_F(JsonAccessTest, DuplicateKeysFindFirstThenNext) {
  int64_t value = 0;
  ASSERT_EQ(JsonGetObjectInt(root(), "i", &value), JSON_OK);
  EXPECT_EQ(value, -7);
  EXPECT_EQ(JsonDeleteObjectItem(root(), "i"), JSON_OK);
  ASSERT_EQ(JsonGetObjectInt(root(), "i", &value), JSON_OK);
  EXPECT_EQ(value, 99);
  EXPECT_EQ(JsonDeleteObjectItem(root(), "i"), JSON_OK);
  EXPECT_EQ(JsonGetObjectInt(root(), "i", &value), JSON_FAIL);
  EXPECT_EQ(JsonDeleteObjectItem(root(), "i"), JSON_FAIL);
  EXPECT_EQ(Dump(root()),
            "{\"d\":d1.5,\"s\":\"text\",\"t\":true,\"f\":false,\"n\":null,"
            "\"a\":[3,d2.5,\"x\",false,[]],\"o\":{}}");
}

TEST_F(JsonAccessTest, KeysMatchExactly) {
  Doc doc = Parse("{\"Ab\":1,\"ab\":2,\"a\\u0062\":3,\"\\u00e9\":4,\"abc\":5}");
  ASSERT_NE(doc, nullptr);
  const std::pair<const char*, int64_t> rows[] = {
      {"Ab", 1}, {"ab", 2}, {"\xC3\xA9", 4}, {"abc", 5}, {"AB", -1}, {"a", -1}, {"abcd", -1}};
  for (const auto& [key, expected] : rows) {
    int64_t value = -1;
    JsonGetObjectInt(doc.get(), key, &value);
    EXPECT_EQ(value, expected) << key;
  }
}

TEST_F(JsonAccessTest, CopyObjectStringNeedsRoomForTerminator) {
  char buffer[5] = "junk";
  EXPECT_EQ(JsonCopyObjectString(root(), "s", buffer, 5), JSON_OK);
  EXPECT_STREQ(buffer, "text");
  EXPECT_EQ(JsonCopyObjectString(root(), "s", buffer, 4), JSON_FAIL);
  EXPECT_STREQ(buffer, "");
  std::strcpy(buffer, "junk");
  EXPECT_EQ(JsonCopyObjectString(root(), "s", buffer, 0), JSON_FAIL);
  EXPECT_EQ(JsonCopyObjectString(root(), "i", buffer, 5), JSON_FAIL);
  EXPECT_EQ(JsonCopyObjectString(root(), "absent", buffer, 5), JSON_FAIL);
  EXPECT_STREQ(buffer, "junk");
}

TEST_F(JsonAccessTest, DetachArrayItemRenumbers) {
  JsonValue* second;
  ASSERT_EQ(JsonGetArrayItem(array_, 1, &second), JSON_OK);
  JsonValue* first = JsonDetachArrayItem(array_, 0);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(Dump(first), "3");
  EXPECT_EQ(JsonGetArraySize(array_), 4u);
  JsonValue* element;
  ASSERT_EQ(JsonGetArrayItem(array_, 0, &element), JSON_OK);
  EXPECT_EQ(element, second);
  EXPECT_EQ(JsonDeleteArrayItem(array_, 3), JSON_OK);  // the last
  EXPECT_EQ(JsonDeleteArrayItem(array_, 1), JSON_OK);  // a middle one
  EXPECT_EQ(JsonDetachArrayItem(array_, 2), nullptr);
  EXPECT_EQ(JsonDeleteArrayItem(array_, 2), JSON_FAIL);
  EXPECT_EQ(Dump(array_), "[d2.5,false]");
  EXPECT_EQ(JsonDeleteArrayItem(array_, 0), JSON_OK);
  EXPECT_EQ(JsonDeleteArrayItem(array_, 0), JSON_OK);
  EXPECT_EQ(Dump(array_), "[]");
  EXPECT_EQ(JsonGetArrayItem(array_, 0, &element), JSON_FAIL);
  EXPECT_EQ(Allocations().live.size(), 1u) << "detached nodes stay in the arena";
}

TEST_F(JsonAccessTest, DetachObjectItemKeepsTheRest) {
  JsonValue* first = JsonDetachObjectItem(root(), "i");
  ASSERT_NE(first, nullptr);
  JsonDelete(first);
  EXPECT_EQ(JsonDetachObjectItem(root(), "absent"), nullptr);
  for (const char* key : {"o", "d", "n"}) EXPECT_EQ(JsonDeleteObjectItem(root(), key), JSON_OK);
  EXPECT_EQ(Dump(root()),
            "{\"s\":\"text\",\"t\":true,\"f\":false,\"a\":[3,d2.5,\"x\",false,[]],\"i\":99}");
  Doc single = Parse("{\"only\":[1]}");
  ASSERT_NE(single, nullptr);
  EXPECT_EQ(JsonDeleteObjectItem(single.get(), "only"), JSON_OK);
  JsonValue* child;
  EXPECT_EQ(JsonGetFirstChild(single.get(), &child), JSON_NO_MEMBER);
  JsonValue* last = single->object.last;  // packed: copied before comparing
  EXPECT_EQ(last, nullptr);
}

// ---- The array position cache ----

class JsonArrayCacheTest : public JsonTest {
 protected:
  void Load(uint32_t count) {
    std::string text = "[";
    for (uint32_t i = 0; i < count; ++i) text += (i ? "," : "") + std::to_string(i);
    doc_ = Parse(text + "]");
    ASSERT_NE(doc_, nullptr);
    elements_.clear();
    for (JsonValue* e = doc_->array.first; e != nullptr; e = e->next) elements_.push_back(e);
    ASSERT_EQ(elements_.size(), count);
  }
  void TearDown() override {
    doc_.reset();
    JsonTest::TearDown();
  }
  Doc doc_;
  std::vector<JsonValue*> elements_;
};

TEST_F(JsonArrayCacheTest, EveryAccessOrderFindsTheRightElement) {
  for (uint32_t count : {1u, 7u, 8u, 1000u}) {
    Load(count);
    std::vector<uint32_t> order;
    for (uint32_t i = 0; i < count; ++i) order.push_back(i);                   // forward
    for (uint32_t i = count; i-- > 0;) order.push_back(i);                     // backward
    for (uint32_t i = 0; i < count; ++i) order.push_back((i * 7919) % count);  // scattered
    for (uint32_t index : order) {
      JsonValue* element = nullptr;
      ASSERT_EQ(JsonGetArrayItem(doc_.get(), index, &element), JSON_OK);
      ASSERT_EQ(element, elements_[index]) << "count " << count << " index " << index;
      uint32_t cachedIndex = doc_->array.cachedIndex;
      EXPECT_EQ(cachedIndex, index);
    }
  }
}

TEST_F(JsonArrayCacheTest, StartsFromTheNearestEnd) {
  Load(1000);
  uint32_t cachedIndex = doc_->array.cachedIndex;
  JsonValue* cachedItem = doc_->array.cachedItem;
  ASSERT_EQ(cachedIndex, 0u);
  ASSERT_EQ(cachedItem, elements_[0]);
  // Loop the middle of the list back to the start: any walk forward across
  // it from the first element would end on a wrong element.
  elements_[500]->next = elements_[0];
  JsonValue* element = nullptr;
  ASSERT_EQ(JsonGetArrayItem(doc_.get(), 999, &element), JSON_OK);
  EXPECT_EQ(element, elements_[999]);
  ASSERT_EQ(JsonGetArrayItem(doc_.get(), 990, &element), JSON_OK);
  EXPECT_EQ(element, elements_[990]);
  ASSERT_EQ(JsonGetArrayItem(doc_.get(), 995, &element), JSON_OK);
  EXPECT_EQ(element, elements_[995]);
  elements_[500]->next = elements_[501];
}

}  // namespace
}  // namespace json_test

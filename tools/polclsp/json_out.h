// JSON text built piece by piece, for the messages the server sends: every
// text goes out as well-formed UTF-8 (AppendUtf8JsonString), members in the
// order they are added, so the same state always gives the same bytes.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

class JsonOut {
 public:
  JsonOut& BeginObject() { return Open('{'); }
  JsonOut& EndObject() { return Close('}'); }
  JsonOut& BeginArray() { return Open('['); }
  JsonOut& EndArray() { return Close(']'); }
  // The key of the next member of the object being built.
  JsonOut& Key(std::string_view key);
  JsonOut& String(std::string_view text);
  JsonOut& Int(int64_t value);
  JsonOut& Bool(bool value);
  JsonOut& Null();
  // A value that is JSON text already.
  JsonOut& Raw(std::string_view json);

  const std::string& Text() const { return text; }
  std::string Take() { return std::move(text); }

 private:
  JsonOut& Open(char bracket);
  JsonOut& Close(char bracket);
  // Puts the comma a value after another needs.
  void Separate();

  std::string text;
  std::vector<bool> hasValue;  // by open level: a value was put in it
  bool afterKey = false;
};

#include "tools/polclsp/json_out.h"

#include "base/json_string.h"

void JsonOut::Separate() {
  if (afterKey) {
    afterKey = false;
    return;
  }
  if (!hasValue.empty()) {
    if (hasValue.back()) text += ',';
    hasValue.back() = true;
  }
}

JsonOut& JsonOut::Open(char bracket) {
  Separate();
  text += bracket;
  hasValue.push_back(false);
  return *this;
}

JsonOut& JsonOut::Close(char bracket) {
  text += bracket;
  hasValue.pop_back();
  return *this;
}

JsonOut& JsonOut::Key(std::string_view key) {
  Separate();
  AppendUtf8JsonString(text, key);
  text += ':';
  afterKey = true;
  return *this;
}

JsonOut& JsonOut::String(std::string_view value) {
  Separate();
  AppendUtf8JsonString(text, value);
  return *this;
}

JsonOut& JsonOut::Int(int64_t value) { return Raw(std::to_string(value)); }

JsonOut& JsonOut::Bool(bool value) { return Raw(value ? "true" : "false"); }

JsonOut& JsonOut::Null() { return Raw("null"); }

JsonOut& JsonOut::Raw(std::string_view json) {
  Separate();
  text += json;
  return *this;
}

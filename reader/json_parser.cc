#include "reader/json_parser.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cassert>
#include <cstdio>
#include <cstring>
#include <new>
#include <utility>

#include "json/json.h"
#include "reader/duplicate_messages.h"
#include "reader/json_access.h"
#include "reader/log.h"
#include "reader/validators.h"

namespace {

struct JsonTreeDeleter {
  void operator()(JsonValue* root) const { JsonDelete(root); }
};
using JsonTree = std::unique_ptr<JsonValue, JsonTreeDeleter>;

// Opens `path` for reading if it is a regular file. The open does not wait:
// a FIFO without a writer would otherwise block it for good. Anything but a
// regular file is refused, as its size cannot be learnt by seeking.
FILE* OpenRegularFile(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return nullptr;
  struct stat status {};
  FILE* file = nullptr;
  if (fstat(fd, &status) == 0 && S_ISREG(status.st_mode)) file = fdopen(fd, "r");
  if (file == nullptr) close(fd);
  return file;
}

// Reads the rest of the open `file` from its start into a NUL-terminated
// buffer.
bool ReadOpenFile(FILE* file, std::unique_ptr<char[]>& buffer, size_t& length) {
  if (std::fseek(file, 0, SEEK_END) != 0) return false;
  const long end = std::ftell(file);
  if (end < 0 || static_cast<unsigned long>(end) > MAX_SOURCE_FILE_SIZE) return false;
  if (std::fseek(file, 0, SEEK_SET) != 0) return false;
  length = static_cast<size_t>(end);
  buffer.reset(new (std::nothrow) char[length + 1]);
  if (buffer == nullptr || std::fread(buffer.get(), 1, length, file) != length) return false;
  buffer[length] = '\0';
  return true;
}

// Moves the first entry of `from` into `into`, right before `hint` when it
// belongs there (the entries of `from` come in key order, so runs of them
// usually land side by side). Returns the entry of `into` with that key and
// leaves `node` empty, or holding the moved entry when `into` had the key.
template <typename Map>
typename Map::iterator MoveFirstEntry(Map& from, Map& into, typename Map::iterator hint,
                                      typename Map::node_type& node) {
  node = from.extract(from.begin());
  return into.insert(hint, std::move(node));
}

// Moves every entry of `from` into `into`; stops at the first key that
// `into` already holds, hands it to `logDuplicate` and fails.
template <typename Map, typename LogDuplicate>
int MoveUniqueEntries(Map& from, Map& into, LogDuplicate logDuplicate) {
  typename Map::node_type node;
  for (auto hint = into.begin(); !from.empty();) {
    hint = std::next(MoveFirstEntry(from, into, hint, node));
    if (!node.empty()) {
      logDuplicate(node.key());
      return -1;
    }
  }
  return 0;
}

// Moves every entry of `from` into `into`, uniting the sets of keys that
// both hold.
template <typename Map>
void UniteEntries(Map& from, Map& into) {
  typename Map::node_type node;
  for (auto hint = into.begin(); !from.empty();) {
    const auto entry = MoveFirstEntry(from, into, hint, node);
    if (!node.empty()) entry->second.merge(node.mapped());
    hint = std::next(entry);
  }
}

// Makes every name of `names` an attribute of itself in `typeAttrMap`.
void AddSelfAttributes(const NameSet& names, TypeAttrMap& typeAttrMap) {
  for (const std::string& name : names) typeAttrMap[name].insert(name);
}

}  // namespace

int JsonParser::ParseJsonFiles(std::vector<std::string> paths) {
  for (const std::string& path : paths) {
    // Each file gets a fresh model, destroyed when it is merged or fails.
    PolicyModel fileModel;
    const std::string shownPath = MaskControlChars(path);
    Log(LOG_INFO, "[JsonParser][Parsing json file][file=%s]\n", shownPath.c_str());
    int result = ParseJsonFile(path, fileModel);
    if (result != 0) {
      Log(LOG_ERR, "[JsonParser][Parse json file failed][file=%s]\n", shownPath.c_str());
      return result;
    }
    Log(LOG_INFO, "[JsonParser][Validating json file][file=%s]\n", shownPath.c_str());
    result = ValidateJsonFile(fileModel);
    if (result != 0) {
      Log(LOG_ERR, "[JsonParser][Validate json file failed][file=%s]\n", shownPath.c_str());
      return result;
    }
    result = MergeJsonFile(fileModel);
    if (result != 0) {
      Log(LOG_ERR, "[JsonParser][Merge json file failed][file=%s]\n", shownPath.c_str());
      return result;
    }
  }
  Log(LOG_INFO, "[JsonParser][Validating whole json file]\n");
  const int result = ValidateWholeJsonFile();
  if (result != 0) {
    Log(LOG_ERR, "[JsonParser][Validate whole json file failed]\n");
    return result;
  }
  return 0;
}

int JsonParser::ParseJsonFile(const std::string& path, PolicyModel& fileModel) {
  std::unique_ptr<char[]> text;
  size_t size = 0;
  const int result = ReadFileToString(path, text, size);
  if (result != 0) {
    Log(LOG_ERR, "[JsonParser][Read file to json string failed][file=%s]\n",
        MaskControlChars(path).c_str());
    return result;
  }
  return ParseJsonText(path, std::move(text), size, fileModel);
}

int JsonParser::ParseJsonText(const std::string& path, std::unique_ptr<char[]> text, size_t size,
                              PolicyModel& fileModel) {
  static constexpr std::string_view kKeys[] = {"declarations", "rules"};
  static constexpr KeyHandler kHandlers[] = {
      {"declarations", &JsonParser::ReadDeclarationsSection},
      {"rules", &JsonParser::ReadRulesSection},
  };
  const std::string shownPath = MaskControlChars(path);
  // The parser stops at the first NUL byte, and every reader of a decoded
  // text at the first NUL of an escaped \u0000; whatever followed would be
  // lost without a word, so either counts as invalid JSON.
  JsonValue* root = nullptr;
  if (std::memchr(text.get(), '\0', size) != nullptr ||
      JsonParseWithOptions(text.get(), &root, JSON_PARSE_REFUSE_NUL_ESCAPE) != JSON_OK) {
    Log(LOG_ERR, "[JsonParser][Parse json string failed, invalid json file][file=%s]\n",
        shownPath.c_str());
    Log(LOG_ERR, "[JsonParser][If use typeattr, please check the length of type less than 48]\n");
    return -1;
  }
  text.reset();
  const JsonTree tree(root);
  if (CheckObjectKeys(root, kKeys) != 0) {
    Log(LOG_ERR, "[JsonParser][Validate the declarations or rules key failed][file=%s]\n",
        shownPath.c_str());
    return -1;
  }
  const int result = DispatchObjectKeys(root, fileModel, kHandlers);
  if (result != 0) {
    Log(LOG_ERR, "[JsonParser][Parse declarations or rules failed][file=%s]\n", shownPath.c_str());
    return result;
  }
  return 0;
}

int JsonParser::ReadFileToString(const std::string& path, std::unique_ptr<char[]>& text,
                                 size_t& size) {
  FILE* file = OpenRegularFile(path);
  if (file == nullptr) return -1;
  std::unique_ptr<char[]> buffer;
  size_t length = 0;
  const bool read = ReadOpenFile(file, buffer, length);
  if (std::fclose(file) != 0 || !read) return -1;
  text = std::move(buffer);
  size = length;
  return 0;
}

int JsonParser::CheckObjectKeys(JsonValue* object, AllowedKeys allowedKeys) {
  assert(allowedKeys.size() <= 32);
  JsonValue* member = nullptr;
  if (JsonGetFirstChild(object, &member) != JSON_OK) {
    Log(LOG_ERR, "[JsonParser][Not found the first key]\n");
    return -1;
  }
  uint32_t seen = 0;  // bit i: allowedKeys[i] was met
  for (; member != nullptr; member = NextMember(member)) {
    const std::string_view key = MemberKey(member);
    const auto found = std::find(allowedKeys.begin(), allowedKeys.end(), key);
    if (found == allowedKeys.end()) {
      Log(LOG_ERR, "[JsonParser][Undefined key][key=%s]\n", MaskControlChars(key).c_str());
      return -1;
    }
    const uint32_t bit = 1u << (found - allowedKeys.begin());
    if ((seen & bit) != 0) {
      Log(LOG_ERR, "[JsonParser][Repeat defined key][key=%s]\n", MaskControlChars(key).c_str());
      return -1;
    }
    seen |= bit;
  }
  return 0;
}

int JsonParser::DispatchObjectKeys(JsonValue* object, PolicyModel& model, HandlerTable handlers) {
  JsonValue* member = nullptr;
  if (JsonGetFirstChild(object, &member) != JSON_OK) {
    Log(LOG_ERR, "[JsonParser][Not find the first key]\n");
    return -1;
  }
  for (; member != nullptr; member = NextMember(member)) {
    const std::string_view key = MemberKey(member);
    const auto found = std::find_if(handlers.begin(), handlers.end(),
                                    [key](const KeyHandler& entry) { return entry.key == key; });
    if (found == handlers.end()) {
      Log(LOG_ERR, "[JsonParser][Undefined key][key=%s]\n", MaskControlChars(key).c_str());
      return -1;
    }
    const int result = (this->*found->handler)(member, model);
    if (result != 0) {
      Log(LOG_ERR, "[JsonParser][Parse the value failed][key=%s]\n", MaskControlChars(key).c_str());
      return result;
    }
  }
  return 0;
}

int JsonParser::ReadKeyedSection(JsonValue* value, PolicyModel& model, AllowedKeys allowedKeys,
                                 HandlerTable handlers, const char* section) {
  if (CheckObjectKeys(value, allowedKeys) != 0) {
    Log(LOG_ERR, "[JsonParser][Validate the %s section key failed]\n", section);
    return -1;
  }
  const int result = DispatchObjectKeys(value, model, handlers);
  if (result != 0) {
    Log(LOG_ERR, "[JsonParser][Parse %s section failed]\n", section);
    return result;
  }
  return 0;
}

int JsonParser::ValidateJsonFile(const PolicyModel& fileModel) {
  int result = CheckDeclaredNames(fileModel);
  if (result == 0) result = CheckContextReferences(fileModel);
  if (result == 0) result = CheckInitialSidNames(fileModel);
  if (result == 0) result = CheckRuleClasses(fileModel);
  if (result == 0) result = CheckFilePaths(fileModel);
  return result;
}

int JsonParser::MergeJsonFile(PolicyModel& fileModel) {
  // The type attributes go first because they need the file's own types and
  // attributes, which the set unions below move away. None of these steps
  // can fail, so their order is not observable.
  UniteEntries(fileModel.typeAttrMap, model.typeAttrMap);
  AddSelfAttributes(fileModel.types, model.typeAttrMap);
  AddSelfAttributes(fileModel.attrs, model.typeAttrMap);
  model.types.merge(fileModel.types);
  model.attrs.merge(fileModel.attrs);
  model.requires_.merge(fileModel.requires_);
  if (MoveUniqueEntries(fileModel.fileContexts, model.fileContexts, LogDuplicatePath) != 0 ||
      MoveUniqueEntries(fileModel.initialSids, model.initialSids, LogDuplicateSid) != 0 ||
      MoveUniqueEntries(fileModel.netifs, model.netifs, LogDuplicateNetif) != 0 ||
      MoveUniqueEntries(fileModel.packets, model.packets, LogDuplicatePacket) != 0) {
    return -1;
  }
  UniteEntries(fileModel.grantRules, model.grantRules);
  return MoveUniqueEntries(fileModel.transitionRules, model.transitionRules,
                           LogDuplicateTransition);
}

int JsonParser::ValidateWholeJsonFile() {
  if (model.types.size() + model.attrs.size() > MAX_TYPES_AND_ATTRS) {
    Log(LOG_ERR, "[JsonParser][The number of types exceeds the maximum limit][max=%u]\n",
        static_cast<unsigned>(MAX_TYPES_AND_ATTRS));
    return -1;
  }
  for (const std::string& name : model.requires_) {
    if (!model.types.contains(name) && !model.attrs.contains(name)) {
      Log(LOG_ERR, "[JsonParser][Undefined context in the require section][context=%s]\n",
          MaskControlChars(name).c_str());
      return -1;
    }
  }
  for (const std::string& name : model.attrs) {
    if (model.types.contains(name)) {
      Log(LOG_ERR, "[JsonParser][Repeated context in the type and attr section][context=%s]\n",
          MaskControlChars(name).c_str());
      return -1;
    }
  }
  return 0;
}

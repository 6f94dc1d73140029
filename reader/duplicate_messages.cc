#include "reader/duplicate_messages.h"

#include "base/log.h"

void LogDuplicatePath(std::string_view path) {
  Log(LOG_ERR, "[JsonParser][Duplicate file path][path=%s]\n", MaskControlChars(path).c_str());
}

void LogDuplicateSid(std::string_view sid) {
  Log(LOG_ERR, "[JsonParser][Duplicate initial sid][sid=%s]\n", MaskControlChars(sid).c_str());
}

void LogDuplicateNetif(std::string_view name) {
  Log(LOG_ERR, "[JsonParser][Duplicate netif name][name=%s]\n", MaskControlChars(name).c_str());
}

void LogDuplicatePacket(const PacketKey& key) {
  Log(LOG_ERR, "[JsonParser][Duplicate packet key][protocol=%hu]\n", key.protocol);
}

void LogDuplicateTransition(const NamePool& names, const RuleKey& key) {
  Log(LOG_ERR, "[JsonParser][Duplicate transition rule key][subject=%s, object=%s, cls=%s]\n",
      MaskControlChars(names.Text(key.subject)).c_str(),
      MaskControlChars(names.Text(key.object)).c_str(),
      MaskControlChars(names.Text(key.cls)).c_str());
}

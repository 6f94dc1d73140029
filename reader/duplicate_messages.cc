#include "reader/duplicate_messages.h"

#include <string>

#include "base/log.h"
#include "reader/diagnostic_codes.h"

namespace {

// A labeled thing named twice: `what` for people, `logLine` with its
// name masked.
Fault Duplicate(const char* what, std::string_view name, const char* logFormat) {
  const std::string shown = MaskControlChars(name);
  return {code::DUPLICATE_ENTRY, Format("%s \"%s\" is labeled twice", what, shown.c_str()),
          Format(logFormat, shown.c_str())};
}

}  // namespace

Fault DuplicatePath(std::string_view path) {
  return Duplicate("path", path, "[JsonParser][Duplicate file path][path=%s]\n");
}

Fault DuplicateSid(std::string_view sid) {
  return Duplicate("initial sid", sid, "[JsonParser][Duplicate initial sid][sid=%s]\n");
}

Fault DuplicateNetif(std::string_view name) {
  return Duplicate("network interface", name, "[JsonParser][Duplicate netif name][name=%s]\n");
}

Fault DuplicatePacket(const PacketKey& key) {
  return {code::DUPLICATE_ENTRY,
          "packets of the same protocol, addresses and ports are labeled twice",
          Format("[JsonParser][Duplicate packet key][protocol=%hu]\n", key.protocol)};
}

Fault DuplicateTransition(const NamePool& names, const RuleKey& key) {
  const std::string subject = MaskControlChars(names.Text(key.subject));
  const std::string object = MaskControlChars(names.Text(key.object));
  const std::string cls = MaskControlChars(names.Text(key.cls));
  return {code::DUPLICATE_ENTRY,
          Format("a second transition for subject \"%s\", object \"%s\", class \"%s\"",
                 subject.c_str(), object.c_str(), cls.c_str()),
          Format("[JsonParser][Duplicate transition rule key][subject=%s, object=%s, cls=%s]\n",
                 subject.c_str(), object.c_str(), cls.c_str())};
}

// Every use of a name in one source file, with its place: what readers that
// show places (polclint, polclsp) need once the file's tree is gone, to
// check the names against the declarations of the file and of the whole
// policy, and to point at each use.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "reader/policy_model.h"

// The part a name plays where it stands.
enum class NameRole : uint8_t {
  TYPE,            // "type" declares it
  ATTR,            // "attr" declares it
  REQUIRE,         // "require" lists it
  TYPEATTR_NAME,   // a "typeattr" key
  TYPEATTR_ATTR,   // an attribute in a "typeattr" array
  FILE_CONTEXT,    // the context of a labeling entry of "file"
  SID_CONTEXT,     // "reserved_sid"
  NETIF_CONTEXT,   // "netif"
  PACKET_CONTEXT,  // "packet"
  SUBJECT,         // a rule statement's subject
  LONE_SUBJECT,    // the subject of a statement that gives no rule, which polc does not check
  GRANT_OBJECT,    // a "teac" entry's object
  TRANSITION_OBJECT,
  TARGET,  // a "type_transition" entry's target
};

// One use of a name: an id of the model's name pool, and the offset of the
// string's opening quote (or of the key, for a "typeattr" key).
struct NameUse {
  NameId name;
  uint32_t offset;
  NameRole role;
};

// A "teac" entry, with the places of the entry and of its class.
struct GrantUse {
  RuleKey key;
  uint32_t operations;  // the bits of the operations of its class it names
  uint32_t offset;
  uint32_t classOffset;
};

// A "type_transition" entry.
struct TransitionUse {
  RuleKey key;
  NameId target;
  uint32_t offset;
  uint32_t classOffset;
};

// An operation of a "teac" entry that its class lacks, or that the entry
// names twice.
struct OperationUse {
  NameId operation;  // an id of the name pool
  NameId cls;
  uint32_t offset;
};

// An attribute that "typeattr" gives a name.
struct TypeAttrUse {
  NameId name;
  NameId attr;
  uint32_t offset;  // of the attribute
};

// A labeling entry of "reserved_sid" or "netif": the sid or interface name.
struct NamedLabelUse {
  std::string name;
  uint32_t offset;
};

struct SourceIndex {
  std::vector<NameUse> names;
  std::vector<TypeAttrUse> typeAttrs;
  std::vector<GrantUse> grants;
  std::vector<TransitionUse> transitions;
  std::vector<OperationUse> unknownOperations;
  std::vector<OperationUse> repeatedOperations;
  std::vector<std::pair<NameId, uint32_t>> paths;  // "file" entries: an id of the path pool
  std::vector<NamedLabelUse> sids;
  std::vector<NamedLabelUse> netifs;
  std::vector<std::pair<PacketKey, uint32_t>> packets;
};

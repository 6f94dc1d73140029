// A PolicyModel as ordered containers of text, and back: tests state and
// compare models by names, independent of pool ids and of the order in
// which entries were added.
#pragma once

#include <map>
#include <set>
#include <string>
#include <tuple>

#include "reader/policy_model.h"

namespace polc_test {

using TextSet = std::set<std::string>;
using TextRuleKey = std::tuple<std::string, std::string, std::string>;  // subject, object, class

struct ModelText {
  TextSet types;
  TextSet attrs;
  TextSet requires_;
  std::map<std::string, TextSet> typeAttrMap;  // name -> its attributes
  NameMap fileContexts;
  NameMap initialSids;
  NameMap netifs;
  std::map<PacketKey, std::string> packets;
  // Rule key -> operation names: those of the class's bits and those the
  // class lacks. A rule of an unknown class keeps no operations, as read.
  std::map<TextRuleKey, TextSet> grantRules;
  std::map<TextRuleKey, std::string> transitionRules;

  friend bool operator==(const ModelText&, const ModelText&) = default;
};

ModelText ToText(const PolicyModel& model);

// The order in which FromText adds the entries of each container, and so
// interns their texts.
enum class EntryOrder {
  kKeyOrder,
  kReversed,  // ids then run against the byte order of the texts
};

// The model the reader builds from the same names: operations become class
// bits, and those the known class lacks go to unknownOperations.
// The entries go into `into`, e.g. a JsonParser's NewFileModel so that the
// model can be merged.
PolicyModel FromText(const ModelText& text, EntryOrder order = EntryOrder::kKeyOrder,
                     PolicyModel into = PolicyModel());

}  // namespace polc_test

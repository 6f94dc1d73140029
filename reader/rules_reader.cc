#include <iterator>

#include "json/json.h"
#include "reader/class_table.h"
#include "reader/duplicate_messages.h"
#include "reader/json_access.h"
#include "reader/json_parser.h"
#include "reader/log.h"

int JsonParser::ReadRulesSection(JsonValue* value, PolicyModel& model) {
  static constexpr std::string_view kKeys[] = {"group", "subject", "teac", "type_transition"};
  for (uint32_t i = 0; i < JsonGetArraySize(value); ++i) {
    JsonValue* members[std::size(kKeys)];
    if (CheckObjectKeys(ArrayItem(value, i), kKeys, members) != 0) {
      Log(LOG_ERR, "[JsonParser][Validate the i-th key in the rules section failed][i=%u]\n", i);
      return -1;
    }
    const char* subject = nullptr;
    if (!GetString(members[1], &subject)) {
      Log(LOG_ERR, "[JsonParser][Parse the i-th subject failed][i=%u]\n", i);
      return -1;
    }
    const NameId subjectId = model.names.Intern(subject);
    // "teac" is read before "type_transition" whatever their order; a
    // member that is not an array is skipped.
    if (JsonValue* teac = AsArray(members[2]);
        teac != nullptr && ReadTeacSection(subjectId, teac, model) != 0) {
      return -1;
    }
    if (JsonValue* transitions = AsArray(members[3]);
        transitions != nullptr && ReadTypeTransitionSection(subjectId, transitions, model) != 0) {
      return -1;
    }
  }
  return 0;
}

int JsonParser::ReadTeacSection(NameId subject, JsonValue* teac, PolicyModel& model) {
  static constexpr std::string_view kKeys[] = {"object", "class", "operation"};
  for (uint32_t k = 0; k < JsonGetArraySize(teac); ++k) {
    JsonValue* members[std::size(kKeys)];
    if (CheckObjectKeys(ArrayItem(teac, k), kKeys, members) != 0) {
      Log(LOG_ERR, "[JsonParser][Validate the i-th key in the teac section failed][i=%u]\n", k);
      return -1;
    }
    const char* object = nullptr;
    const char* cls = nullptr;
    JsonValue* operations = AsArray(members[2]);
    if (!GetString(members[0], &object) || !GetString(members[1], &cls) || operations == nullptr) {
      Log(LOG_ERR, "[JsonParser][Incomplete object, class and operation][subject=%s]\n",
          MaskControlChars(model.names.Text(subject)).c_str());
      return -1;
    }
    // Operations of an equal key, from this entry or an earlier one, unite
    // when the compiler sorts the rules. An operation the class lacks waits
    // for the class check; with an unknown class the operations do not
    // matter, as that check fails on the class.
    GrantRule rule{
        {subject, model.names.Intern(object), model.names.Intern(cls)}, 0, GetClassIndex(cls)};
    if (const auto bad = ForEachArrayString(operations, [&](const char* operation) {
          if (rule.classIndex == 0) return;
          const uint32_t bit = GetOperationBit(rule.classIndex, operation);
          if (bit == 0)
            model.unknownOperations.push_back({rule.key, model.names.Intern(operation)});
          rule.operations |= bit;
        })) {
      Log(LOG_ERR, "[JsonParser][Get permission failed][subject=%s, k=%u]\n",
          MaskControlChars(model.names.Text(subject)).c_str(), *bad);
      return -1;
    }
    model.grantRules.push_back(rule);
  }
  return 0;
}

int JsonParser::ReadTypeTransitionSection(NameId subject, JsonValue* typeTransition,
                                          PolicyModel& model) {
  static constexpr std::string_view kKeys[] = {"object", "class", "target"};
  for (uint32_t i = 0; i < JsonGetArraySize(typeTransition); ++i) {
    JsonValue* members[std::size(kKeys)];
    if (CheckObjectKeys(ArrayItem(typeTransition, i), kKeys, members) != 0) {
      Log(LOG_ERR,
          "[JsonParser][Validate the i-th key in the type_transition section failed][i=%u]\n", i);
      return -1;
    }
    const char* object = nullptr;
    const char* cls = nullptr;
    const char* target = nullptr;
    if (!GetString(members[0], &object) || !GetString(members[1], &cls) ||
        !GetString(members[2], &target)) {
      Log(LOG_ERR, "[JsonParser][Incomplete object, class and target][subject=%s]\n",
          MaskControlChars(model.names.Text(subject)).c_str());
      return -1;
    }
    const RuleKey key{subject, model.names.Intern(object), model.names.Intern(cls)};
    if (!model.transitionRules.try_emplace(key, model.names.Intern(target)).second) {
      LogDuplicateTransition(model.names, key);
      return -1;
    }
  }
  return 0;
}

int JsonParser::CheckRuleClasses(const PolicyModel& fileModel) {
  const NamePool& names = fileModel.names;
  const auto keyLess = [&names](const RuleKey& a, const RuleKey& b) {
    return RuleKeyLess(names, a, b);
  };
  // The first grant rule in key order whose class or one of whose
  // operations is unknown.
  FirstInKeyOrder<RuleKey, decltype(keyLess)> failing(keyLess);
  for (const GrantRule& rule : fileModel.grantRules) {
    if (rule.classIndex == 0) failing.Offer(rule.key);
  }
  for (const UnknownOperation& unknown : fileModel.unknownOperations) failing.Offer(unknown.key);
  if (const auto& key = failing.Get()) {
    const std::string cls = MaskControlChars(names.Text(key->cls));
    if (GetClassIndex(names.CText(key->cls)) == 0) {
      Log(LOG_ERR, "[JsonParser][Undefined class in grant rule][class=%s]\n", cls.c_str());
      return -1;
    }
    // Operations are checked in ascending order: the first unknown one.
    FirstInKeyOrder<NameId, ByText> operation(ByText{names});
    for (const UnknownOperation& unknown : fileModel.unknownOperations) {
      if (unknown.key == *key) operation.Offer(unknown.operation);
    }
    Log(LOG_ERR, "[JsonParser][Undefined operation for current class][class=%s, operation=%s]\n",
        cls.c_str(), MaskControlChars(names.Text(*operation.Get())).c_str());
    return -1;
  }
  FirstInKeyOrder<RuleKey, decltype(keyLess)> failingTransition(keyLess);
  for (const auto& [key, target] : fileModel.transitionRules) {
    if (GetClassIndex(names.CText(key.cls)) == 0) failingTransition.Offer(key);
  }
  if (const auto& key = failingTransition.Get()) {
    Log(LOG_ERR, "[JsonParser][Undefined class in transition rule][class=%s]\n",
        MaskControlChars(names.Text(key->cls)).c_str());
    return -1;
  }
  return 0;
}

#include "json/json.h"
#include "reader/class_table.h"
#include "reader/duplicate_messages.h"
#include "reader/json_access.h"
#include "reader/json_parser.h"
#include "reader/log.h"

int JsonParser::ReadRulesSection(JsonValue* value, PolicyModel& model) {
  static constexpr std::string_view kKeys[] = {"group", "subject", "teac", "type_transition"};
  for (uint32_t i = 0; i < JsonGetArraySize(value); ++i) {
    JsonValue* statement = ArrayItem(value, i);
    if (CheckObjectKeys(statement, kKeys) != 0) {
      Log(LOG_ERR, "[JsonParser][Validate the i-th key in the rules section failed][i=%u]\n", i);
      return -1;
    }
    const char* subject = nullptr;
    if (JsonGetObjectString(statement, "subject", &subject) != JSON_OK) {
      Log(LOG_ERR, "[JsonParser][Parse the i-th subject failed][i=%u]\n", i);
      return -1;
    }
    // "teac" is read before "type_transition" whatever their order; a
    // member that is not an array is skipped.
    JsonValue* entries = nullptr;
    if (JsonGetObjectArray(statement, "teac", &entries) == JSON_OK &&
        ReadTeacSection(subject, entries, model) != 0) {
      return -1;
    }
    if (JsonGetObjectArray(statement, "type_transition", &entries) == JSON_OK &&
        ReadTypeTransitionSection(subject, entries, model) != 0) {
      return -1;
    }
  }
  return 0;
}

int JsonParser::ReadTeacSection(const std::string& subject, JsonValue* teac, PolicyModel& model) {
  static constexpr std::string_view kKeys[] = {"object", "class", "operation"};
  for (uint32_t k = 0; k < JsonGetArraySize(teac); ++k) {
    JsonValue* entry = ArrayItem(teac, k);
    if (CheckObjectKeys(entry, kKeys) != 0) {
      Log(LOG_ERR, "[JsonParser][Validate the i-th key in the teac section failed][i=%u]\n", k);
      return -1;
    }
    const char* object = nullptr;
    const char* cls = nullptr;
    JsonValue* operations = nullptr;
    if (JsonGetObjectString(entry, "object", &object) != JSON_OK ||
        JsonGetObjectString(entry, "class", &cls) != JSON_OK ||
        JsonGetObjectArray(entry, "operation", &operations) != JSON_OK) {
      Log(LOG_ERR, "[JsonParser][Incomplete object, class and operation][subject=%s]\n",
          MaskControlChars(subject).c_str());
      return -1;
    }
    // Operations of an equal key, from this entry or an earlier one, unite.
    NameSet& granted = model.grantRules[RuleKey{subject, object, cls}];
    if (const auto bad = AddArrayStrings(operations, granted)) {
      Log(LOG_ERR, "[JsonParser][Get permission failed][subject=%s, k=%u]\n",
          MaskControlChars(subject).c_str(), *bad);
      return -1;
    }
  }
  return 0;
}

int JsonParser::ReadTypeTransitionSection(const std::string& subject, JsonValue* typeTransition,
                                          PolicyModel& model) {
  static constexpr std::string_view kKeys[] = {"object", "class", "target"};
  for (uint32_t i = 0; i < JsonGetArraySize(typeTransition); ++i) {
    JsonValue* entry = ArrayItem(typeTransition, i);
    if (CheckObjectKeys(entry, kKeys) != 0) {
      Log(LOG_ERR,
          "[JsonParser][Validate the i-th key in the type_transition section failed][i=%u]\n", i);
      return -1;
    }
    const char* object = nullptr;
    const char* cls = nullptr;
    const char* target = nullptr;
    if (JsonGetObjectString(entry, "object", &object) != JSON_OK ||
        JsonGetObjectString(entry, "class", &cls) != JSON_OK ||
        JsonGetObjectString(entry, "target", &target) != JSON_OK) {
      Log(LOG_ERR, "[JsonParser][Incomplete object, class and target][subject=%s]\n",
          MaskControlChars(subject).c_str());
      return -1;
    }
    const auto [entryInModel, inserted] =
        model.transitionRules.try_emplace(RuleKey{subject, object, cls}, target);
    if (!inserted) {
      LogDuplicateTransition(entryInModel->first);
      return -1;
    }
  }
  return 0;
}

int JsonParser::CheckRuleClasses(const PolicyModel& fileModel) {
  for (const auto& [key, operations] : fileModel.grantRules) {
    const uint16_t classIndex = GetClassIndex(key.cls.c_str());
    if (classIndex == 0) {
      Log(LOG_ERR, "[JsonParser][Undefined class in grant rule][class=%s]\n",
          MaskControlChars(key.cls).c_str());
      return -1;
    }
    for (const std::string& operation : operations) {
      if (GetOperationBit(classIndex, operation.c_str()) == 0) {
        Log(LOG_ERR,
            "[JsonParser][Undefined operation for current class][class=%s, operation=%s]\n",
            MaskControlChars(key.cls).c_str(), MaskControlChars(operation).c_str());
        return -1;
      }
    }
  }
  for (const auto& [key, target] : fileModel.transitionRules) {
    if (GetClassIndex(key.cls.c_str()) == 0) {
      Log(LOG_ERR, "[JsonParser][Undefined class in transition rule][class=%s]\n",
          MaskControlChars(key.cls).c_str());
      return -1;
    }
  }
  return 0;
}

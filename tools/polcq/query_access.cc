#include "tools/polcq/query_access.h"

#include "base/class_table.h"
#include "ruledb/rule_data_base.h"
#include "base/json_string.h"

namespace {

// Whether `effect` has every operation of `filter`.
bool HasOperations(const AccessFilter& filter, const Effect& effect) {
  for (const std::string& operation : filter.operations) {
    const uint32_t bit = GetOperationBit(effect.tclass, operation.c_str());
    if (bit == 0 || (effect.operations & bit) == 0) return false;
  }
  return true;
}

}  // namespace

std::string MakeAccessFilter(const QueryPolicy& policy, const char* subject, const char* object,
                             const char* tclass, const std::vector<std::string>& operations,
                             AccessFilter& filter) {
  for (const auto& [text, slot] : {std::pair{subject, &filter.subject}, {object, &filter.object}}) {
    if (text == nullptr) continue;
    *slot = policy.Value(text);
    if (!slot->has_value()) return "no type or attribute is named \"" + Printable(text) + "\"";
  }
  if (tclass != nullptr) {
    filter.tclass = GetClassIndex(tclass);
    if (filter.tclass == 0) return "no class is named \"" + Printable(tclass) + "\"";
  }
  for (const std::string& operation : operations) {
    bool known = false;
    for (uint16_t index = 1; index <= CLASS_COUNT && !known; ++index) {
      if (filter.tclass == 0 || filter.tclass == index) {
        known = GetOperationBit(index, operation.c_str()) != 0;
      }
    }
    if (!known) {
      return "no operation is named \"" + Printable(operation) + "\"" +
             (filter.tclass == 0 ? "" : std::string(" in class ") + tclass);
    }
  }
  filter.operations = operations;
  return "";
}

void ForEachEffect(const QueryPolicy& policy, const AccessFilter& filter, uint16_t kind,
                   const std::function<void(uint32_t subject, const Effect& effect)>& visit) {
  const std::vector<uint32_t> subjects =
      filter.subject ? policy.SortedByName(policy.MembersOf(*filter.subject)) : policy.ByName();
  std::function<bool(uint32_t)> keepObject;
  if (filter.object) {
    keepObject = [&policy, &filter](uint32_t object) {
      return policy.Holds(object, *filter.object);
    };
  }
  for (const uint32_t subject : subjects) {
    for (const Effect& effect : policy.Effects(subject, kind, keepObject)) {
      if (filter.tclass != 0 && effect.tclass != filter.tclass) continue;
      if (kind == RULE_GRANT && !HasOperations(filter, effect)) continue;
      visit(subject, effect);
    }
  }
}

std::string EffectLine(const QueryPolicy& policy, uint32_t subject, const Effect& effect,
                       uint16_t kind) {
  std::string line = policy.Show(subject);
  line.append(1, ' ').append(policy.Show(effect.object)).append(1, ' ');
  line.append(GetClassName(effect.tclass));
  if (kind == RULE_GRANT)
    return line.append(1, ' ') + OperationList(effect.tclass, effect.operations);
  for (const uint32_t target : effect.targets) line.append(1, ' ').append(policy.Show(target));
  return effect.targets.size() > 1 ? line.append(" conflict") : line;
}

void WriteEffects(const QueryPolicy& policy, const AccessFilter& filter, uint16_t kind,
                  bool explain, std::ostream& out) {
  ForEachEffect(policy, filter, kind, [&](uint32_t subject, const Effect& effect) {
    out << EffectLine(policy, subject, effect, kind) << '\n';
    if (explain) {
      for (const uint32_t rule : effect.rules) out << '\t' << policy.RuleLine(rule) << '\n';
    }
  });
}

void WriteAccessSource(const QueryPolicy& policy, const AccessFilter& filter, std::ostream& out) {
  out << "{\"rules\": [";
  std::optional<uint32_t> open;  // the subject whose statement is open
  ForEachEffect(policy, filter, RULE_GRANT, [&](uint32_t subject, const Effect& effect) {
    if (open != subject) {
      out << (open ? "\n  ]}," : "")
          << "\n  {\"subject\": " << QuoteJsonString(policy.Name(subject)) << ", \"teac\": [";
    } else {
      out << ',';
    }
    out << "\n    {\"object\": " << QuoteJsonString(policy.Name(effect.object))
        << ", \"class\": " << QuoteJsonString(GetClassName(effect.tclass)) << ", \"operation\": [";
    const char* separator = "";
    for (const char* operation : OperationNames(effect.tclass, effect.operations)) {
      out << separator << QuoteJsonString(operation);
      separator = ", ";
    }
    out << "]}";
    open = subject;
  });
  out << (open ? "\n  ]}\n" : "") << "]}\n";
}

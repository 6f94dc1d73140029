#include "tests/support/model_text.h"

#include <utility>

#include "reader/class_table.h"

namespace polc_test {
namespace {

template <typename Container, typename Add>
void AddEach(const Container& container, EntryOrder order, Add add) {
  if (order == EntryOrder::kKeyOrder) {
    for (const auto& entry : container) add(entry);
  } else {
    for (auto it = container.rbegin(); it != container.rend(); ++it) add(*it);
  }
}

}  // namespace

ModelText ToText(const PolicyModel& model) {
  const NamePool& names = model.names;
  const auto text = [&names](NameId id) { return std::string(names.Text(id)); };
  const auto textKey = [&text](const RuleKey& key) {
    return TextRuleKey{text(key.subject), text(key.object), text(key.cls)};
  };
  const auto textSet = [&text](const NameIdSet& set) {
    TextSet texts;
    for (const NameId id : set.Ids()) texts.insert(text(id));
    return texts;
  };
  ModelText out;
  out.types = textSet(model.types);
  out.attrs = textSet(model.attrs);
  out.requires_ = textSet(model.requires_);
  for (const NameId name : model.typeAttrMap.names.Ids()) out.typeAttrMap[text(name)];
  for (const TypeAttrLink& link : model.typeAttrMap.links) {
    out.typeAttrMap[text(link.name)].insert(text(link.attr));
  }
  for (const auto& [path, context] : model.fileContexts) {
    out.fileContexts[std::string(model.paths.Text(path))] = text(context);
  }
  out.initialSids = model.initialSids;
  out.netifs = model.netifs;
  out.packets = model.packets;
  for (const GrantRule& rule : model.grantRules) {
    TextSet& operations = out.grantRules[textKey(rule.key)];
    for (uint32_t bit = 1; bit != 0; bit <<= 1) {
      if ((rule.operations & bit) == 0) continue;
      const char* name = GetOperationName(rule.classIndex, bit);
      // A bit the class does not have shows up instead of vanishing.
      operations.insert(name != nullptr ? name : "<bit " + std::to_string(bit) + ">");
    }
  }
  for (const UnknownOperation& unknown : model.unknownOperations) {
    out.grantRules[textKey(unknown.key)].insert(text(unknown.operation));
  }
  for (const auto& [key, target] : model.transitionRules) {
    out.transitionRules[textKey(key)] = text(target);
  }
  return out;
}

PolicyModel FromText(const ModelText& text, EntryOrder order, PolicyModel into) {
  PolicyModel model = std::move(into);
  NamePool& names = model.names;
  const auto intern = [&names](const std::string& name) { return names.Intern(name); };
  const auto internKey = [&intern](const TextRuleKey& key) {
    const auto& [subject, object, cls] = key;
    const NameId subjectId = intern(subject);
    const NameId objectId = intern(object);
    return RuleKey{subjectId, objectId, intern(cls)};
  };
  const auto addSet = [&](const TextSet& from, NameIdSet& into) {
    AddEach(from, order, [&](const std::string& name) { into.Insert(intern(name)); });
  };
  addSet(text.types, model.types);
  addSet(text.attrs, model.attrs);
  addSet(text.requires_, model.requires_);
  AddEach(text.typeAttrMap, order, [&](const auto& entry) {
    const NameId name = intern(entry.first);
    model.typeAttrMap.names.Insert(name);
    AddEach(entry.second, order, [&](const std::string& attr) {
      model.typeAttrMap.links.push_back({name, intern(attr)});
    });
  });
  AddEach(text.fileContexts, order, [&](const auto& entry) {
    const NameId path = model.paths.Intern(entry.first);
    model.fileContexts.Insert(path, intern(entry.second));
  });
  model.initialSids = text.initialSids;
  model.netifs = text.netifs;
  model.packets = text.packets;
  AddEach(text.grantRules, order, [&](const auto& entry) {
    const std::string& cls = std::get<2>(entry.first);
    GrantRule rule{internKey(entry.first), 0, GetClassIndex(cls.c_str())};
    // As the rules reader: operations of an unknown class are dropped.
    if (rule.classIndex != 0) {
      AddEach(entry.second, order, [&](const std::string& operation) {
        const uint32_t bit = GetOperationBit(rule.classIndex, operation.c_str());
        if (bit == 0) model.unknownOperations.push_back({rule.key, intern(operation)});
        rule.operations |= bit;
      });
    }
    model.grantRules.push_back(rule);
  });
  AddEach(text.transitionRules, order, [&](const auto& entry) {
    const RuleKey key = internKey(entry.first);
    model.transitionRules.emplace(key, intern(entry.second));
  });
  return model;
}

}  // namespace polc_test

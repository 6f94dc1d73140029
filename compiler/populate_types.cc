// Numbering of types and attributes, the symbol table and the type
// attribute array.
#include <algorithm>
#include <cassert>

#include "base/log.h"
#include "compiler/database_blocks.h"
#include "compiler/varo_compiler.h"

namespace {

const EntryMessages SYMBOL_MESSAGES = {
    "[VaroCompiler][Allocate memory failed for symTbl Key or Datum]\n",
    "[VaroCompiler][Insert type symbol table failed]\n",
};

}  // namespace

int VaroCompiler::PopulateTypes() {
  SortTypeFields();
  return PopulateTypeSymTbl();
}

void VaroCompiler::SortTypeFields() {
  Log(LOG_INFO, "[VaroCompiler][Sorting the type fields]\n");
  // Types first, then attributes, each in name order; the reader keeps the
  // total within 16 bits and the two sets disjoint.
  typeNames.clear();
  for (const NameIdSet* names : {&model.types, &model.attrs}) {
    const auto first = static_cast<std::ptrdiff_t>(typeNames.size());
    typeNames.insert(typeNames.end(), names->Ids().begin(), names->Ids().end());
    model.names.SortByText(std::span(typeNames).subspan(first));
  }
  typeIndexMap.assign(model.names.size(), NO_VALUE);
  for (uint32_t value = 0; value < typeNames.size(); ++value) {
    typeIndexMap[typeNames[value]] = value;
  }
}

int VaroCompiler::PopulateTypeSymTbl() {
  const auto count = static_cast<uint32_t>(typeNames.size());
  Log(LOG_INFO, "[VaroCompiler][Populating type][count=%u]\n", count);
  int status = StrTblInit(&ruleDataBase->symTbl, count);
  if (status != 0) {
    Log(LOG_ERR, "[VaroCompiler][Init type symbol table failed]\n");
    return status;
  }
  // From the last value down: each of the two runs of names then comes in
  // descending order, which the fill links without sorting.
  HugePageVector<StringTableEntry<uint32_t>> symbols;
  symbols.reserve(count);
  for (uint32_t value = count; value-- > 0;) {
    symbols.push_back({model.names.CText(typeNames[value]), value});
  }
  return FillStringTable<uint32_t>(&ruleDataBase->symTbl, symbols, SYMBOL_MESSAGES);
}

uint32_t VaroCompiler::LookupTypeValue(std::string_view name) const {
  const std::optional<NameId> id = model.names.Find(name);
  assert(id.has_value() && "the reader lets only declared names through");
  return TypeValue(*id);
}

int VaroCompiler::PopulateTypeAttrs() {
  // Every type and attribute has an entry holding at least the name itself.
  const size_t count = model.typeAttrMap.names.size();
  if (count == 0) {
    return 0;
  }
  Log(LOG_INFO, "[VaroCompiler][Populating typeattr][count=%u]\n", static_cast<uint32_t>(count));
  RuleDataBase& db = *ruleDataBase.get();
  db.flags |= FLAG_TYPEATTR;
  db.typeToAttrsArr = NewZeroedBlock<TypeAttrs>(count);
  if (db.typeToAttrsArr == nullptr) {
    Log(LOG_ERR, "[VaroCompiler][Allocate memory failed for typeattr node]\n");
    return -1;
  }
  db.typeToAttrsCount = static_cast<uint32_t>(count);
  // An entry lists its attributes in name order, once each: sort the links
  // by the value of the name, then by the name of the attribute.
  HugePageVector<TypeAttrLink> links = model.typeAttrMap.links;
  std::sort(links.begin(), links.end(), [this](const TypeAttrLink& a, const TypeAttrLink& b) {
    if (a.name != b.name) return TypeValue(a.name) < TypeValue(b.name);
    return a.attr != b.attr && model.names.Less(a.attr, b.attr);
  });
  links.erase(std::unique(links.begin(), links.end(),
                          [](const TypeAttrLink& a, const TypeAttrLink& b) {
                            return a.name == b.name && a.attr == b.attr;
                          }),
              links.end());
  for (auto run = links.begin(); run != links.end();) {
    const auto end = std::find_if(run, links.end(), [name = run->name](const TypeAttrLink& link) {
      return link.name != name;
    });
    const uint32_t value = TypeValue(run->name);
    assert(value < count);
    TypeAttrs& entry = db.typeToAttrsArr[value];
    entry.count = static_cast<uint16_t>(end - run);
    entry.values = NewZeroedBlock<uint16_t>(entry.count);
    if (entry.values == nullptr) {
      Log(LOG_ERR, "[VaroCompiler][Allocate memory failed for typeattrs array]\n");
      return -1;
    }
    for (uint16_t i = 0; i < entry.count; ++i) {
      entry.values[i] = static_cast<uint16_t>(TypeValue(run[i].attr));
    }
    run = end;
  }
  return 0;
}

// Numbering of types and attributes, the symbol table and the type
// attribute array.
#include <cassert>

#include "compiler/database_blocks.h"
#include "compiler/varo_compiler.h"
#include "reader/log.h"

namespace {

const EntryMessages kSymbolMessages = {
    "[VaroCompiler][Allocate memory failed for symTbl Key or Datum]\n",
    "[VaroCompiler][String copy failed for symTbl Key]\n",
    "[VaroCompiler][Insert type symbol table failed]\n",
};

int InsertSymbol(HashTbl* symTbl, const std::string& name, uint32_t value) {
  char* key = nullptr;
  BlockStatus status = CopyToHeap(name, &key);
  auto* datum = NewZeroedBlock<uint32_t>();
  status = Worse(status, AllocationStatus(datum));
  if (datum != nullptr) {
    *datum = value;
  }
  return InsertTableEntry(symTbl, status, key, datum, kSymbolMessages);
}

}  // namespace

void VaroCompiler::SortTypeFields() {
  Log(LOG_INFO, "[VaroCompiler][Sorting the type fields]\n");
  // Types first, then attributes, each in name order; the reader keeps the
  // total within 16 bits and the two sets disjoint.
  uint32_t counter = 0;
  for (const NameSet* names : {&model.types, &model.attrs}) {
    for (const std::string& name : *names) {
      typeIndexMap.try_emplace(name, static_cast<uint16_t>(counter));
      ++counter;
    }
  }
  typeValueIndex.reserve(typeIndexMap.size());
  for (const auto& [name, value] : typeIndexMap) {
    typeValueIndex.emplace(name, value);
  }
}

int VaroCompiler::PopulateTypeSymTbl() {
  const auto count = static_cast<uint32_t>(typeIndexMap.size());
  Log(LOG_INFO, "[VaroCompiler][Populating type][count=%u]\n", count);
  int status = StrTblInit(&ruleDataBase->symTbl, count);
  if (status != 0) {
    Log(LOG_ERR, "[VaroCompiler][Init type symbol table failed]\n");
    return status;
  }
  for (const auto& [name, value] : typeIndexMap) {
    status = InsertSymbol(&ruleDataBase->symTbl, name, value);
    if (status != 0) {
      return status;
    }
  }
  return 0;
}

uint32_t VaroCompiler::LookupTypeValue(const std::string& name) const {
  const auto found = typeValueIndex.find(name);
  assert(found != typeValueIndex.end() && "the reader lets only declared names through");
  return found->second;
}

int VaroCompiler::PopulateTypeAttrs() {
  const size_t count = model.typeAttrMap.size();
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
  // The reader gives every type and attribute exactly one entry holding at
  // least the name itself, so the values index the array and no count is 0.
  for (const auto& [name, attrs] : model.typeAttrMap) {
    const uint32_t value = LookupTypeValue(name);
    assert(value < count);
    TypeAttrs& entry = db.typeToAttrsArr[value];
    entry.count = static_cast<uint16_t>(attrs.size());
    entry.values = NewZeroedBlock<uint16_t>(attrs.size());
    if (entry.values == nullptr) {
      Log(LOG_ERR, "[VaroCompiler][Allocate memory failed for typeattrs array]\n");
      return -1;
    }
    size_t position = 0;
    for (const std::string& attr : attrs) {
      entry.values[position++] = static_cast<uint16_t>(LookupTypeValue(attr));
    }
  }
  return 0;
}

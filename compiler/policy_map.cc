// The text map file: how names became numbers.
#include <charconv>
#include <span>
#include <vector>

#include "base/class_table.h"
#include "compiler/output_file.h"
#include "compiler/rule_numbering.h"
#include "compiler/varo_compiler.h"

namespace {

// Builds one line at a time and hands it to the file.
class MapLines {
 public:
  explicit MapLines(OutputFile& file) : file(file) {}

  MapLines& Text(std::string_view text) {
    line.append(text);
    return *this;
  }
  MapLines& Number(uint32_t value, int base = 10) {
    char digits[16];
    const auto end = std::to_chars(digits, digits + sizeof digits, value, base).ptr;
    line.append(digits, end);
    return *this;
  }
  // "\tsubject object cls": the start of a rule's names line.
  MapLines& RuleNames(const VaroCompiler& compiler, const RuleTblKey& key) {
    return Text("\t")
        .Text(compiler.TypeName(key.source))
        .Text(" ")
        .Text(compiler.TypeName(key.target))
        .Text(" ")
        .Text(GetClassName(key.tclass));
  }
  // "\tsource target tclass": the start of a rule's numbers line.
  MapLines& RuleNumbers(const RuleTblKey& key) {
    return Text("\t").Number(key.source).Text(" ").Number(key.target).Text(" ").Number(key.tclass);
  }
  // Ends the line and writes it.
  void End() {
    line.push_back('\n');
    file.Write(line);
    line.clear();
  }

 private:
  OutputFile& file;
  std::string line;
};

}  // namespace

std::string PolicyMapPath(const std::string& outputPath) {
  const size_t slash = outputPath.rfind('/');
  if (slash == std::string::npos) {
    return POLICY_MAP_FILE_NAME;
  }
  return outputPath.substr(0, slash) + "/" + POLICY_MAP_FILE_NAME;
}

int VaroCompiler::WritePolicyMap(const std::string& mapPath) const {
  OutputFile file;
  if (!file.Open(mapPath)) {
    return -1;
  }
  MapLines out(file);
  const NamePool& names = model.names;
  const size_t typeCount = model.types.size();
  const std::pair<const char*, std::span<const NameId>> sections[] = {
      {"Type map:", std::span(typeNames).first(typeCount)},
      {"Attr map:", std::span(typeNames).subspan(typeCount)}};
  for (const auto& [header, sectionNames] : sections) {
    out.Text(header).End();
    for (const NameId name : sectionNames) {
      out.Text("\t").Text(names.Text(name)).Text(":").Number(TypeValue(name)).End();
    }
    out.End();
  }

  out.Text("Grant rule map:").End();
  HugePageVector<NumberedRule> rules = NumberGrantRules(*this);
  SortByNames(*this, rules);
  for (const NumberedRule& rule : rules) {
    out.RuleNames(*this, rule.key);
    for (const char* operation :
         OperationNames(rule.key.tclass, rule.datum.value, OperationOrder::BY_NAME)) {
      out.Text(" ").Text(operation);
    }
    out.End();
    out.RuleNumbers(rule.key).Text(" 0x").Number(rule.datum.value, 16).End();
  }
  out.End();

  out.Text("Transition rule map:").End();
  rules = NumberTransitionRules(*this);
  SortByNames(*this, rules);
  for (const NumberedRule& rule : rules) {
    out.RuleNames(*this, rule.key).Text(" ").Text(TypeName(rule.datum.value)).End();
    out.RuleNumbers(rule.key).Text(" ").Number(rule.datum.value).End();
  }
  out.End();
  return file.Commit() ? 0 : -1;
}

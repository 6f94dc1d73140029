// The text map file: how names became numbers.
#include <charconv>

#include "compiler/output_file.h"
#include "compiler/rule_numbering.h"
#include "compiler/varo_compiler.h"

namespace {

// Builds one line at a time and hands it to the file.
class MapLines {
 public:
  explicit MapLines(OutputFile& file) : file_(file) {}

  MapLines& Text(std::string_view text) {
    line_.append(text);
    return *this;
  }
  MapLines& Number(uint32_t value, int base = 10) {
    char digits[16];
    const auto end = std::to_chars(digits, digits + sizeof digits, value, base).ptr;
    line_.append(digits, end);
    return *this;
  }
  // "\tsubject object cls": the start of a rule's names line.
  MapLines& RuleNames(const RuleKey& rule) {
    return Text("\t").Text(rule.subject).Text(" ").Text(rule.object).Text(" ").Text(rule.cls);
  }
  // "\tsource target tclass": the start of a rule's numbers line.
  MapLines& RuleNumbers(const RuleTblKey& key) {
    return Text("\t").Number(key.source).Text(" ").Number(key.target).Text(" ").Number(key.tclass);
  }
  // Ends the line and writes it.
  void End() {
    line_.push_back('\n');
    file_.Write(line_);
    line_.clear();
  }

 private:
  OutputFile& file_;
  std::string line_;
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
  const std::pair<const char*, const NameSet*> sections[] = {{"Type map:", &model.types},
                                                             {"Attr map:", &model.attrs}};
  for (const auto& [header, names] : sections) {
    out.Text(header).End();
    for (const std::string& name : *names) {
      out.Text("\t").Text(name).Text(":").Number(LookupTypeValue(name)).End();
    }
    out.End();
  }

  out.Text("Grant rule map:").End();
  RuleNumbering grantNumbering(*this);
  for (const auto& [rule, operations] : model.grantRules) {
    out.RuleNames(rule);
    for (const std::string& operation : operations) {
      out.Text(" ").Text(operation);
    }
    out.End();
    const RuleTblKey key = grantNumbering.Key(rule, RULE_GRANT);
    out.RuleNumbers(key).Text(" 0x").Number(OperationMask(key.tclass, operations), 16).End();
  }
  out.End();

  out.Text("Transition rule map:").End();
  RuleNumbering transitionNumbering(*this);
  for (const auto& [rule, target] : model.transitionRules) {
    out.RuleNames(rule).Text(" ").Text(target).End();
    const RuleTblKey key = transitionNumbering.Key(rule, RULE_TRANSITION);
    out.RuleNumbers(key).Text(" ").Number(LookupTypeValue(target)).End();
  }
  out.End();
  return file.Commit() ? 0 : -1;
}

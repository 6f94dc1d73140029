// Numbers for the names of rules, shared by the rule table and the map file.
#pragma once

#include <cstdint>
#include <string_view>

#include "compiler/varo_compiler.h"
#include "reader/class_table.h"

// Turns rule keys into rule table keys. Rules are walked in key order, so
// neighbours mostly share their subject: its value is looked up once per run
// of equal subjects. Holds views into the rules it was given, which must
// outlive it.
class RuleNumbering {
 public:
  explicit RuleNumbering(const VaroCompiler& compiler) : compiler_(compiler) {}

  RuleTblKey Key(const RuleKey& rule, uint16_t specified) {
    if (!haveSubject_ || rule.subject != subject_) {
      subject_ = rule.subject;
      subjectValue_ = static_cast<uint16_t>(compiler_.LookupTypeValue(rule.subject));
      haveSubject_ = true;
    }
    return RuleTblKey{
        subjectValue_,
        static_cast<uint16_t>(compiler_.LookupTypeValue(rule.object)),
        GetClassIndex(rule.cls.c_str()),
        specified,
    };
  }

 private:
  const VaroCompiler& compiler_;
  bool haveSubject_ = false;
  std::string_view subject_;   // subject of the previous rule
  uint16_t subjectValue_ = 0;  // its value
};

// OR of the bits of `operations` in class `classIndex`; 0 for no operation.
inline uint32_t OperationMask(uint16_t classIndex, const NameSet& operations) {
  uint32_t mask = 0;
  for (const std::string& operation : operations) {
    mask |= GetOperationBit(classIndex, operation.c_str());
  }
  return mask;
}

#include "compiler/varo_compiler.h"

#include <cstdlib>
#include <memory>
#include <utility>

#include "base/log.h"
#include "compiler/calloc_or_terminate.h"
#include "compiler/output_file.h"
#include "compiler/policy_binary_file.h"
#include "reader/json_parser.h"
#include "ruledb/policy_binary.h"

OwnedRuleDataBase::OwnedRuleDataBase()
    : record(static_cast<RuleDataBase*>(CallocOrTerminate(sizeof(RuleDataBase)))) {}

OwnedRuleDataBase::~OwnedRuleDataBase() {
  DestroyContents();
  free(record);
}

void OwnedRuleDataBase::DestroyContents() {
  if (!destroyed) {
    destroyed = true;
    RuleDataBaseDestory(record);
  }
}

int CompileSources(const std::vector<std::string>& paths, const std::string& outputPath,
                   bool generateMap) {
  PolicyModel merged;
  {
    JsonParser reader;
    const int result = reader.ParseJsonFiles(paths);
    if (result != 0) return result;
    merged = reader.TakePolicyModel();
  }
  // The model moves, and the compiler is released as soon as it is done: a
  // copy would be a second model of the size of the policy.
  VaroCompiler compiler(std::move(merged));
  return compiler.Compile(outputPath, generateMap);
}

VaroCompiler::VaroCompiler(PolicyModel policy) : model(std::move(policy)) {}

int VaroCompiler::Compile(std::string outputPath, bool generateMap) {
  const std::string shownPath = MaskControlChars(outputPath);
  // The map would overwrite the binary just written.
  if (generateMap && NameTheSameFile(outputPath, PolicyMapPath(outputPath))) {
    Log(LOG_ERR, "[VaroCompiler][The policy map would overwrite the policy binary][path=%s]\n",
        shownPath.c_str());
    return -1;
  }
  Log(LOG_INFO, "[VaroCompiler][Populating rule database]\n");
  int status = PopulateRuleDataBase();
  if (status != 0) {
    Log(LOG_ERR, "[VaroCompiler][Populate rule database failed]\n");
    ruleDataBase.DestroyContents();
    return status;
  }
  Log(LOG_INFO, "[VaroCompiler][Generating policy binary][path=%s]\n", shownPath.c_str());
  status = WritePolicyBinary(outputPath);
  // The map is built from the model and typeIndexMap alone.
  ruleDataBase.DestroyContents();
  if (status != 0) {
    Log(LOG_ERR, "[VaroCompiler][Generate policy binary failed]\n");
    return status;
  }
  if (generateMap) {
    const std::string mapPath = PolicyMapPath(outputPath);
    Log(LOG_INFO, "[VaroCompiler][Generating policy map file][path=%s]\n",
        MaskControlChars(mapPath).c_str());
    status = WritePolicyMap(mapPath);
    if (status != 0) {
      Log(LOG_ERR, "[VaroCompiler][Generate policy map failed]\n");
      return status;
    }
  }
  Log(LOG_INFO, "[VaroCompiler][Done]\n");
  return 0;
}

int VaroCompiler::PopulateRuleDataBase() {
  SortTypeFields();
  using Step = int (VaroCompiler::*)();
  static constexpr Step STEPS[] = {
      &VaroCompiler::PopulateTypeSymTbl,   &VaroCompiler::PopulateLabeling,
      &VaroCompiler::PopulateFileContexts, &VaroCompiler::PopulateTypeAttrs,
      &VaroCompiler::PopulateRuleTbl,
  };
  for (const Step step : STEPS) {
    const int status = (this->*step)();
    if (status != 0) return status;
  }
  return 0;
}

int VaroCompiler::WritePolicyBinary(const std::string& outputPath) {
  int32_t status = 0;
  switch (WritePolicyBinaryFile(outputPath, *ruleDataBase.get(), status)) {
    case PolicyBinaryResult::DONE:
      return 0;
    case PolicyBinaryResult::SERIALIZE_FAILED:
      Log(LOG_ERR, "[VaroCompiler][Write rule database failed]\n");
      return status;
    case PolicyBinaryResult::OPEN_FAILED:
      Log(LOG_ERR, "[VaroCompiler][Open policy binary path failed][path=%s]\n",
          MaskControlChars(outputPath).c_str());
      return -1;
    case PolicyBinaryResult::WRITE_FAILED:
      break;
  }
  Log(LOG_ERR, "[VaroCompiler][Write buffer to policy binary failed]\n");
  return -22;
}

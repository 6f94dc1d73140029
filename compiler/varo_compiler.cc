#include "compiler/varo_compiler.h"

#include <cstdlib>
#include <memory>
#include <optional>
#include <utility>

#include "base/log.h"
#include "compiler/output_file.h"
#include "compiler/policy_binary_file.h"
#include "reader/json_parser.h"
#include "ruledb/policy_binary.h"

OwnedRuleDataBase::OwnedRuleDataBase() : record(new RuleDataBase()) {}

OwnedRuleDataBase::~OwnedRuleDataBase() {
  DestroyContents();
  delete record;
}

void OwnedRuleDataBase::DestroyContents() {
  if (!destroyed) {
    destroyed = true;
    RuleDataBaseDestory(record);
  }
}

int CompileSources(const std::vector<std::string>& paths, const std::string& outputPath,
                   bool generateMap, StageTimer* timer) {
  // The model moves, and the compiler is released as soon as it is done: a
  // copy would be a second model of the size of the policy.
  std::optional<VaroCompiler> compiler;
  {
    JsonParser reader(timer);
    const int result = reader.ParseJsonFiles(paths);
    if (result != 0) return result;
    const TimedStage handOver(timer, Stage::HAND_OVER);
    compiler.emplace(reader.TakePolicyModel(), timer);
  }
  // The blocks kept for the files' texts and documents serve no more.
  DropKeptBlocks();
  const int status = compiler->Compile(outputPath, generateMap);
  const TimedStage release(timer, Stage::RELEASE);
  compiler.reset();
  return status;
}

VaroCompiler::VaroCompiler(PolicyModel policy, StageTimer* timer)
    : timer(timer), model(std::move(policy)) {}

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
  } else {
    Log(LOG_INFO, "[VaroCompiler][Generating policy binary][path=%s]\n", shownPath.c_str());
    const TimedStage write(timer, Stage::WRITE);
    status = WritePolicyBinary(outputPath);
    if (status != 0) Log(LOG_ERR, "[VaroCompiler][Generate policy binary failed]\n");
  }
  {
    // The map is built from the model and typeIndexMap alone.
    const TimedStage release(timer, Stage::RELEASE);
    ruleDataBase.DestroyContents();
  }
  if (status != 0) return status;
  if (generateMap) {
    const std::string mapPath = PolicyMapPath(outputPath);
    Log(LOG_INFO, "[VaroCompiler][Generating policy map file][path=%s]\n",
        MaskControlChars(mapPath).c_str());
    const TimedStage map(timer, Stage::MAP);
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
  using Step = int (VaroCompiler::*)();
  static constexpr struct {
    Stage stage;
    Step run;
  } STEPS[] = {
      {Stage::TYPES, &VaroCompiler::PopulateTypes},
      {Stage::LABELING, &VaroCompiler::PopulateLabeling},
      {Stage::FILE_CONTEXTS, &VaroCompiler::PopulateFileContexts},
      {Stage::TYPE_ATTRS, &VaroCompiler::PopulateTypeAttrs},
      {Stage::RULE_TABLE, &VaroCompiler::PopulateRuleTbl},
  };
  for (const auto& step : STEPS) {
    const TimedStage timed(timer, step.stage);
    const int status = (this->*step.run)();
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

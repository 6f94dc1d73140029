#include "compiler/varo_compiler.h"

#include <cstdlib>
#include <exception>
#include <memory>
#include <system_error>
#include <utility>

#include "compiler/output_file.h"
#include "reader/log.h"
#include "ruledb/policy_binary.h"

namespace {

// A zero-filled block of `size` bytes. Like an allocation inside the standard
// containers, a failure here ends the process.
void* CallocOrTerminate(size_t size) {
  void* block = calloc(1, size);
  if (block == nullptr) {
    std::terminate();
  }
  return block;
}

}  // namespace

OwnedRuleDataBase::OwnedRuleDataBase()
    : record_(static_cast<RuleDataBase*>(CallocOrTerminate(sizeof(RuleDataBase)))) {}

OwnedRuleDataBase::~OwnedRuleDataBase() {
  DestroyContents();
  free(record_);
}

void OwnedRuleDataBase::DestroyContents() {
  if (!destroyed_) {
    destroyed_ = true;
    RuleDataBaseDestory(record_);
  }
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
  try {
    ruleTable = std::async(std::launch::async, [this] {
      RuleTableFill fill{0, {}};
      const LogCapture capture(fill.log);
      fill.status = FillRuleTbl();
      return fill;
    });
  } catch (const std::system_error&) {
    // No thread: PopulateRuleTbl fills the table itself.
  }
  using Step = int (VaroCompiler::*)();
  static constexpr Step kSteps[] = {
      &VaroCompiler::PopulateTypeSymTbl,   &VaroCompiler::PopulateLabeling,
      &VaroCompiler::PopulateFileContexts, &VaroCompiler::PopulateTypeAttrs,
      &VaroCompiler::PopulateRuleTbl,
  };
  for (const Step step : kSteps) {
    const int status = (this->*step)();
    if (status != 0) {
      // The rule table must be complete before the database is released.
      if (ruleTable.valid()) ruleTable.wait();
      return status;
    }
  }
  return 0;
}

int VaroCompiler::WritePolicyBinary(const std::string& outputPath) {
  // A fresh calloc block of this size comes straight from the kernel as
  // untouched zero pages, so a small policy costs only the pages it fills.
  const std::unique_ptr<uint8_t, decltype(&free)> buffer(
      static_cast<uint8_t*>(CallocOrTerminate(POLICY_BUFFER_SIZE)), &free);
  PolicyCursor cursor = {buffer.get(), POLICY_BUFFER_SIZE};
  const int status = SerializeRuleDataBase(cursor);
  if (status != 0) {
    return status;
  }
  OutputFile file;
  if (!file.Open(outputPath)) {
    Log(LOG_ERR, "[VaroCompiler][Open policy binary path failed][path=%s]\n",
        MaskControlChars(outputPath).c_str());
    return -1;
  }
  file.Write(buffer.get(), POLICY_BUFFER_SIZE - cursor.remaining);
  if (!file.Commit()) {
    Log(LOG_ERR, "[VaroCompiler][Write buffer to policy binary failed]\n");
    return -22;
  }
  return 0;
}

int VaroCompiler::SerializeRuleDataBase(PolicyCursor& cursor) {
  const int status = RuleDataBaseWrite(ruleDataBase.get(), &cursor);
  if (status != 0) {
    Log(LOG_ERR, "[VaroCompiler][Write rule database failed]\n");
  }
  return status;
}

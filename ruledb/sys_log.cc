#include "ruledb/sys_log.h"

#include <syslog.h>

namespace {

SysLogFunc currentSysLog = &syslog;

}  // namespace

SysLogFunc RuleDbSysLog() { return currentSysLog; }

SysLogFunc SetRuleDbSysLog(SysLogFunc func) {
  SysLogFunc previous = currentSysLog;
  currentSysLog = func != nullptr ? func : &syslog;
  return previous;
}

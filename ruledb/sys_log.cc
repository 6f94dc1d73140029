#include "ruledb/sys_log.h"

#include <syslog.h>

namespace {

SysLogFunc g_currentSysLog = &syslog;

}  // namespace

SysLogFunc RuleDbSysLog() { return g_currentSysLog; }

SysLogFunc SetRuleDbSysLog(SysLogFunc func) {
  SysLogFunc previous = g_currentSysLog;
  g_currentSysLog = func != nullptr ? func : &syslog;
  return previous;
}

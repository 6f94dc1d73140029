// The rule database's system-log channel. Messages go to syslog with the
// caller's priority and no facility bits; openlog is never called, so the
// platform's default identity and facility apply. Tests redirect the channel to
// see the text, site number and priority of each message.
#ifndef POLC_RULEDB_SYS_LOG_H_
#define POLC_RULEDB_SYS_LOG_H_

// Same shape as syslog: priority, printf format, arguments.
typedef void (*SysLogFunc)(int priority, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

// The function every rule database message goes through; syslog by default.
SysLogFunc RuleDbSysLog();

// Redirects the channel and returns the previous function; null restores syslog.
SysLogFunc SetRuleDbSysLog(SysLogFunc func);

#endif  // POLC_RULEDB_SYS_LOG_H_

// polclint's reports: the diagnostics for people (compiler-style text with
// the source line and a caret) and for machines (JSON, SARIF 2.1.0).
#pragma once

#include <string>
#include <vector>

#include "base/diagnostic.h"

enum class ReportFormat { TEXT, JSON, SARIF };

struct ReportOptions {
  ReportFormat format = ReportFormat::TEXT;
  bool color = false;  // text only: ANSI colours
};

// The report of `diagnostics`, sorted as LintSources sorts them. The files
// they name are read again to place them: lines, columns, the source line
// of each, and the key paths the linter left empty.
std::string Report(std::vector<Diagnostic>& diagnostics, const ReportOptions& options);

// The HTML report's style sheet and script (report.css and report.js beside
// this file, compiled in by the build).
#pragma once

extern const char kReportStyle[];
extern const char kReportScript[];

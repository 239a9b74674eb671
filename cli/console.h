// The console lines every program prints on standard output.
#pragma once

#include <string_view>

// Writes text and a newline on standard output and flushes them at once, so
// that console lines interleave correctly with the readers' diagnostics on
// standard error and a run that stops keeps every line printed so far.
void printLine(std::string_view text);

// The companion programs' answer to a bad command line, on standard error:
// "PROGRAM: MESSAGE" and where to find the help.
void printUsageError(std::string_view program, std::string_view message);

#include "cli/console.h"

#include <cstdio>

void printLine(std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

void printUsageError(std::string_view program, std::string_view message) {
  std::fprintf(stderr, "%.*s: %.*s\nTry '%.*s --help'.\n", static_cast<int>(program.size()),
               program.data(), static_cast<int>(message.size()), message.data(),
               static_cast<int>(program.size()), program.data());
  std::fflush(stderr);
}

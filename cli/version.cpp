#include "cli/version.h"

#include <cstdio>

#include "fabric/fabric.h"

void printVersion(const char* program) {
  std::printf("%s version: %s\n", program, get_corvex_version());
  std::fflush(stdout);
}

// The model's own reading members: the readers, with the message printed.
#include "fabric/dumps/readers.h"

#include <cstdio>

static int printed(bool ok, const std::string& err) {
  if (ok) return 0;
  std::fprintf(stderr, "%s\n", err.c_str());
  std::fflush(stderr);
  return 1;
}

int IBFabric::parseSubnetLinks(const std::string& fileName, const char* reserved) {
  if (reserved) return printed(false, "parseSubnetLinks: the second argument is reserved");
  std::string err;
  return printed(readLstFile(*this, fileName, &err), err);
}

int IBFabric::parsePLFTFile(const std::string& fileName) {
  std::string err;
  return printed(readPlftFile(*this, fileName, &err), err);
}

int IBFabric::parseFdbFile(const std::string& fileName) {
  std::string err;
  return printed(readFdbFile(*this, fileName, &err), err);
}

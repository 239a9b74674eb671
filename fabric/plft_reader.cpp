#include "fabric/fabric.h"

bool readPlftFile(IBFabric&, const std::string& fileName, std::string* err) {
  *err = fileName + ": private-table reader not written yet";
  return false;
}

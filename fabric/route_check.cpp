#include "fabric/fabric.h"

int SubnMgtVerifyAllCaToCaRoutes(IBFabric&, const char*) { return 1; }

#include "cli/options.h"

int verbose = 0;

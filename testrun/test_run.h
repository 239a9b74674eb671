// linkdeal-run from its options to its exit status: the fabric and the
// plan read, every pair end placed, the hosts probed, the stages run and
// what they measured written.
#pragma once

#include "testrun/options.h"

int runTests(const TestRunOptions& options);

// Follow-up stages: the tests that split the current suspect classes, packed
// into as few stages as the limits allow, each stage as congestion-free as
// any stage of a plan.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "check/separation.h"
#include "fabric/fabric.h"
#include "pairs/pairs_reader.h"

// Places each test (any one of its pairs) into the first stage where its
// hosts are free and no switch egress port goes above maxFlows, opening a
// new stage when none has room. Stages are numbered from firstNumber.
std::vector<Stage> packFollowUp(const IBFabric& fabric,
                                const std::vector<std::vector<PlanPair>>& tests, uint32_t maxFlows,
                                uint32_t firstNumber);

// Writes stages as a pairs file, under the usual header.
bool writeFollowUp(const std::string& fileName, const std::vector<Stage>& stages, std::string* err);

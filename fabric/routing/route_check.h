// The check that every host reaches every other along the forwarding tables.
#pragma once

#include "fabric/fabric.h"

// Checks that every channel adapter / router port reaches every other one
// along the forwarding tables. Returns 0 when every route is complete. Broken
// routes are reported on standard error (the first 20, then a count). When
// reportFile is not null, every broken route is also written there, one per
// line; a report file that cannot be written is reported and fails the check.
//
// Sources and destinations are the non-switch ports that have a link and a
// base LID. From the source's switch, each switch forwards the destination's
// base LID by the table its ingress port maps to (the rule of
// forwarding_states.h). A route is missing where it meets a dead end, leads to
// a host other than the destination, or enters a switch again through a port
// mapped to a table already used there (a loop); the lines word why as
// describeRouteWalk does. A source cabled straight to the destination is
// complete.
int SubnMgtVerifyAllCaToCaRoutes(IBFabric& fabric, const char* reportFile);

// The check's findings drawn: one self-contained HTML page (inline script and
// style, the data as JSON) showing the fabric by tier with each link's load
// per stage, the slow pairs and the suspects.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "check/report.h"

// Up to this many hosts the page draws every switch and link; above it,
// switches become strips of port loads and links are bundled between pods.
constexpr size_t kDrawEveryLinkUpTo = 2000;

// Tier of every node by hop distance from the hosts (hosts 0, their leaf
// switches 1, ...; -1 for a switch no host reaches), by node index.
std::vector<int> nodeTiers(const IBFabric& fabric);

// What the page draws: the JSON report itself under "report", and the
// fabric, per-stage loads and paths, and results by index under the other
// keys (the page's script documents them).
nlohmann::ordered_json htmlData(const CheckReport& report);

// The whole page.
std::string htmlReport(const CheckReport& report);

// Writes html to path through a temporary file beside it, so that a failed
// write leaves no partial report (anything but a regular file, such as a
// pipe, is written in place). Returns false with *err set.
bool writeHtmlReport(const std::string& path, const std::string& html, std::string* err);

#include "plan/plan_options.h"

#include <getopt.h>

#include <cstdio>
#include <string>

#include "cli/console.h"
#include "cli/limits.h"
#include "cli/numbers.h"
#include "cli/version.h"

namespace {

const char kUsage[] =
    "Usage: linkdeal-plan -l LST -f FDBS (-i REGEX | --group-by leaf) [-P PLFT] [-n N]\n"
    "                     [-m LMC] [-d HOPS] [--localize|--coverage] [--stages K|auto]\n"
    "                     [--any-lid] [-t] [-o FILE]\n";

enum : int { kStages = 1000, kAnyLid, kGroupBy, kLocalize, kCoverage };

const option kLongOptions[] = {
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, 'V'},
    {"trust-fdbs", no_argument, nullptr, 't'},
    {"max-hsd", required_argument, nullptr, 'n'},
    {"lmc", required_argument, nullptr, 'm'},
    {"lst", required_argument, nullptr, 'l'},
    {"fdbs", required_argument, nullptr, 'f'},
    {"PLFT", required_argument, nullptr, 'P'},
    {"grp-rex", required_argument, nullptr, 'i'},
    {"min-dist", required_argument, nullptr, 'd'},
    {"stages", required_argument, nullptr, kStages},
    {"any-lid", no_argument, nullptr, kAnyLid},
    {"group-by", required_argument, nullptr, kGroupBy},
    {"localize", no_argument, nullptr, kLocalize},
    {"coverage", no_argument, nullptr, kCoverage},
    {nullptr, 0, nullptr, 0},
};

PlanCommandLine endWith(int status) {
  PlanCommandLine result;
  result.status = status;
  return result;
}

// Prints message (when there is one) and the usage; status 1.
PlanCommandLine refuse(const std::string& message) {
  if (!message.empty()) printLine(message);
  std::fputs(kUsage, stdout);
  std::fflush(stdout);
  return endWith(1);
}

}  // namespace

void showPlanHelp() {
  std::fputs(
      "linkdeal-plan: stages of pairs that test every host and every cable\n"
      "\n",
      stdout);
  std::fputs(kUsage, stdout);
  std::fputs(
      "\n"
      "Splits the hosts into groups by a regular expression, as linkdeal does, or by\n"
      "the switch each host is cabled to, and writes stages of source/destination\n"
      "pairs. Each stage on its own keeps linkdeal's guarantees along the paths the\n"
      "forwarding tables give: the two ends of a pair are in different groups, each\n"
      "host sends at most once and receives at most once, no switch egress port\n"
      "carries more than N of the stage's pairs, and every path is at least HOPS\n"
      "links long. Together the stages make every grouped host send and receive, and\n"
      "put traffic on every directed link that such a pair's route can cross: each\n"
      "switch egress port, and each host's own link both ways. What no valid pair can\n"
      "reach is reported as not coverable.\n"
      "\n"
      "By default the stages also give every directed link a signature of its own\n"
      "(the set of stage and pair crossing it) as far as the routes allow, so that\n"
      "linkdeal-check can name a slow link alone. Links that exactly the same valid\n"
      "pairs cross can never be told apart on these routes; they are printed as\n"
      "inseparable classes and no stage is spent on them.\n"
      "\n"
      "Options:\n"
      "  -l, --lst FILE        topology file (required)\n"
      "  -f, --fdbs FILE       switch forwarding tables (required)\n"
      "  -i, --grp-rex REGEX   POSIX extended expression whose first ( ) capture of a\n"
      "                        host name names the host's group\n"
      "  --group-by leaf       group the hosts by the switch their port 1 is cabled to\n"
      "                        instead (one of -i and --group-by is required)\n"
      "  -P, --PLFT FILE       private forwarding-table map of the switches that have one\n"
      "  -n, --max-hsd N       most pairs of a stage whose path leaves a switch through\n"
      "                        one port, 1 up (default 1)\n"
      "  -m, --lmc LMC         LMC of the fabric, 0 to 7: each host port owns 2^LMC LIDs\n"
      "                        (default 0)\n"
      "  -d, --min-dist HOPS   only paths of at least HOPS links (default 0; a host on\n"
      "                        the source's own switch is 2 links away)\n"
      "  --localize            stages that give every link a signature of its own\n"
      "                        (the default)\n"
      "  --coverage            only as many stages as covering everything takes\n"
      "  --stages K|auto       stop after K stages, or (auto, the default) when every\n"
      "                        coverable host and link is covered (and, by default,\n"
      "                        every link has a signature of its own)\n"
      "  --any-lid             let a pair aim at any LID of its destination, not just\n"
      "                        the base LID, and write that LID as a third field\n"
      "                        0x<lid> on the pair line\n"
      "  -t, --trust-fdbs      skip the check that every host reaches every other host;\n"
      "                        broken routes are then only not coverable\n"
      "  -o FILE               pairs file (default linkdeal-plan.out)\n"
      "  -h, --help            this text\n"
      "  -V, --version         the version\n"
      "\n"
      "Output: a pairs file as linkdeal writes it, with one STAGE k line before the\n"
      "pairs of each stage. Standard output shows each stage's pairs, newly covered\n"
      "hosts and directed links and the coverage so far, then the number of stages,\n"
      "what is not coverable, how many links have a signature of their own, and a\n"
      "lower bound on the number of stages a coverage plan needs. When\n"
      "standard error is a terminal it shows a progress line per stage.\n"
      "\n"
      "Exit status: 0 when the plan is written (complete, or stopped at K stages);\n"
      "1 for a rejected command line and for any failure to load, check or write.\n",
      stdout);
  std::fflush(stdout);
}

PlanCommandLine parsePlanCommandLine(int argc, char* argv[]) {
  PlanCommandLine result;
  PlanOptions& o = result.options;
  RunOptions& r = o.run;
  r.outFile = "linkdeal-plan.out";
  uint64_t value = 0;
  auto number = [&](const char* what, uint64_t max) {
    if (readWholeNumber(optarg, max, &value)) return true;
    printLine(std::string("-E- Invalid ") + what + " value: " + optarg + " (must be 0 to " +
              std::to_string(max) + ")");
    return false;
  };

  optind = 0;  // full rescan, also when called more than once in a process
  for (;;) {
    const int c = getopt_long(argc, argv, "hVtl:f:P:i:n:m:d:o:", kLongOptions, nullptr);
    if (c == -1) break;
    switch (c) {
      case 'h':
        showPlanHelp();
        return endWith(0);
      case 'V':
        printVersion("linkdeal-plan");
        return endWith(0);
      case 't':
      case 'l':
      case 'f':
      case 'P':
      case 'i':
        takeFabricOption(c, optarg, r);
        break;
      case 'n':
        if (!number("-n", UINT32_MAX)) return refuse("");
        if (value == 0) {
          // No pair fits a limit of 0: linkdeal-check refuses it too.
          printLine("-E- Invalid -n value: 0 (must be 1 to " + std::to_string(UINT32_MAX) + ")");
          return refuse("");
        }
        r.maxFlowsPerLink = static_cast<uint32_t>(value);
        printLine("-I- Max Number of Flows per Link: " + std::to_string(r.maxFlowsPerLink));
        break;
      case 'm':
        if (!number("-m", kMaxLmc)) return refuse("");
        r.lmc = static_cast<uint16_t>(value);
        printLine("-I- LMC: " + std::to_string(r.lmc));
        break;
      case 'd':
        if (!number("-d", UINT32_MAX)) return refuse("");
        r.minDist = static_cast<uint32_t>(value);
        printLine("-I- Minimum path distance is: " + std::to_string(r.minDist) + " hops");
        break;
      case 'o':
        r.outFile = optarg;
        break;
      case kStages:
        if (std::string(optarg) == "auto") {
          o.maxStages = 0;
        } else if (!readWholeNumber(optarg, UINT32_MAX, &value) || value == 0) {
          return refuse(std::string("-E- Invalid --stages value: ") + optarg +
                        " (a number from 1, or auto)");
        } else {
          o.maxStages = static_cast<uint32_t>(value);
        }
        printLine("-I- Stage limit: " + (o.maxStages ? std::to_string(o.maxStages) : "auto"));
        break;
      case kGroupBy:
        if (std::string(optarg) != "leaf")
          return refuse(std::string("-E- Invalid --group-by value: ") + optarg + " (only leaf)");
        r.groupByLeaf = true;
        printLine("-I- Group by: leaf");
        break;
      case kLocalize:
      case kCoverage:
        o.localize = c == kLocalize;
        printLine(o.localize ? "-I- Plan: localize" : "-I- Plan: coverage");
        break;
      case kAnyLid:
        o.anyLid = true;
        printLine("-I- Any LID of a destination");
        break;
      default:  // getopt_long has already said what was wrong on stderr
        std::fputs(kUsage, stdout);
        std::fflush(stdout);
        return endWith(1);
    }
  }

  std::string missing;
  if (r.lstFile.empty()) missing += " -l";
  if (r.fdbsFile.empty()) missing += " -f";
  if (r.groupRegex.empty() && !r.groupByLeaf) missing += " -i";
  if (!missing.empty()) return refuse("-E- Missing required option:" + missing);
  if (!r.groupRegex.empty() && r.groupByLeaf)
    return refuse("-E- -i and --group-by leaf are alternatives: give one of them");
  result.run = true;
  return result;
}

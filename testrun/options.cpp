#include "testrun/options.h"

#include <getopt.h>

#include <cstdio>

#include "cli/console.h"
#include "cli/limits.h"
#include "cli/numbers.h"
#include "cli/version.h"

namespace {

const char kHelp[] =
    "Usage: linkdeal-run -l TOPOLOGY [options] PAIRS...\n"
    "\n"
    "Runs the bandwidth tests of a plan stage by stage with ib_write_bw: in each\n"
    "stage a server on every destination, then, once they all listen, a client on\n"
    "every source, all pairs at the same time; the next stage starts when they all\n"
    "have ended. Writes the measured Gb/s as linkdeal-check reads test results,\n"
    "one JSON record per pair and every raw log.\n"
    "\n"
    "PAIRS are pairs files as linkdeal and linkdeal-plan write them (STAGE k\n"
    "sections of 'SRC DST [0xLID]' lines) or plain 'SRC DST' lists (stage 1).\n"
    "\n"
    "Where each end runs:\n"
    "  -l, --lst FILE          topology: LST or ibnetdiscover output (required); the\n"
    "                          first word of a port's node description is its host,\n"
    "                          the second its device when it looks like one (mlx5_0)\n"
    "      --map FILE          'ENDPOINT HOST [DEVICE [PORT]]' lines that override\n"
    "                          the descriptions (ENDPOINT: node, port name or GUID)\n"
    "      --device DEV        device where the description names none\n"
    "  -m, --lmc LMC           LMC of the fabric, 0 to 7, for pairs with a LID (default 0)\n"
    "\n"
    "Running:\n"
    "      --launcher L        ssh (default), pdsh, srun, local (this machine), or a\n"
    "                          shell template with {host} and {cmd}, such as\n"
    "                          'ssh -o BatchMode=yes {host} {cmd}'\n"
    "      --duration SECONDS  length of each test (default 5)\n"
    "      --size BYTES        message size (default: ib_write_bw's own)\n"
    "      --timeout SECONDS   time allowed for the servers to listen, and beyond\n"
    "                          the expected end for the clients (default 10)\n"
    "      --base-port PORT    first TCP port; each host's servers count up from it\n"
    "                          (default 18515)\n"
    "      --dry-run SCRIPT    write the whole run as a shell script and run nothing\n"
    "\n"
    "Output:\n"
    "  -o FILE                 results: STAGE k and 'SRC DST GBPS' lines, failed pairs\n"
    "                          as '# failed' comments (default linkdeal-run.results)\n"
    "      --jsonl FILE        one JSON record per pair\n"
    "      --logs DIR          raw output of every test and launcher\n"
    "                          (default linkdeal-run.logs)\n"
    "      --then-check        have linkdeal-check find the links that explain the\n"
    "                          slow pairs, at the end\n"
    "  -f, --fdbs FILE|DIR     forwarding tables, for --then-check\n"
    "  -P, --PLFT FILE         private forwarding-table map, for --then-check\n"
    "  -h, --help              this text\n"
    "  -V, --version           the version\n"
    "\n"
    "Exit status: 0 when every pair was measured, 1 when some pair failed or was\n"
    "left out (or --then-check found a stage that does not hold or slow pairs), 2\n"
    "when the run could not happen (bad usage, an input that does not read, output\n"
    "not written).\n";

enum LongOnly {
  kMap = 256,
  kDevice,
  kLauncher,
  kDuration,
  kSize,
  kTimeout,
  kBasePort,
  kDryRun,
  kJsonl,
  kLogs,
  kThenCheck
};

const option kOptions[] = {
    {"lst", required_argument, nullptr, 'l'},
    {"fdbs", required_argument, nullptr, 'f'},
    {"PLFT", required_argument, nullptr, 'P'},
    {"lmc", required_argument, nullptr, 'm'},
    {"map", required_argument, nullptr, kMap},
    {"device", required_argument, nullptr, kDevice},
    {"launcher", required_argument, nullptr, kLauncher},
    {"duration", required_argument, nullptr, kDuration},
    {"size", required_argument, nullptr, kSize},
    {"timeout", required_argument, nullptr, kTimeout},
    {"base-port", required_argument, nullptr, kBasePort},
    {"dry-run", required_argument, nullptr, kDryRun},
    {"jsonl", required_argument, nullptr, kJsonl},
    {"logs", required_argument, nullptr, kLogs},
    {"then-check", no_argument, nullptr, kThenCheck},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, 'V'},
    {nullptr, 0, nullptr, 0},
};

TestRunCommandLine endWith(int status) {
  TestRunCommandLine c;
  c.status = status;
  return c;
}

TestRunCommandLine usageError(const std::string& message) {
  printUsageError("linkdeal-run", message);
  return endWith(kRunCannot);
}

// A whole number from min to max into *value; false when optarg is not one.
template <typename T>
bool readNumber(const char* text, uint64_t min, uint64_t max, T* value) {
  uint64_t n;
  if (!readWholeNumber(text, max, &n) || n < min) return false;
  *value = static_cast<T>(n);
  return true;
}

}  // namespace

TestRunCommandLine parseTestRunCommandLine(int argc, char* argv[]) {
  TestRunCommandLine result;
  TestRunOptions& o = result.options;
  opterr = 0;  // the messages below name the program and the fix
  optind = 0;
  for (;;) {
    int c = getopt_long(argc, argv, ":hVl:f:P:m:o:", kOptions, nullptr);
    if (c == -1) break;
    switch (c) {
      case 'h':
        std::fputs(kHelp, stdout);
        std::fflush(stdout);
        return endWith(kRunAllMeasured);
      case 'V':
        printVersion("linkdeal-run");
        return endWith(kRunAllMeasured);
      case 'l':
        o.lstFile = optarg;
        break;
      case 'f':
        o.fdbsFile = optarg;
        break;
      case 'P':
        o.plftFile = optarg;
        break;
      case 'm':
        if (!readNumber(optarg, 0, kMaxLmc, &o.lmc))
          return usageError("-m needs an LMC from 0 to " + std::to_string(kMaxLmc) + ", not '" +
                            optarg + "'");
        break;
      case 'o':
        o.resultsFile = optarg;
        break;
      case kMap:
        o.mapFile = optarg;
        break;
      case kDevice:
        o.device = optarg;
        break;
      case kLauncher:
        o.launcher = optarg;
        break;
      case kDuration:
        if (!readNumber(optarg, 1, 86400, &o.duration))
          return usageError(std::string("--duration needs seconds from 1 to 86400, not '") +
                            optarg + "'");
        break;
      case kSize:
        if (!readNumber(optarg, 1, UINT32_MAX, &o.size))
          return usageError(std::string("--size needs bytes from 1 up, not '") + optarg + "'");
        break;
      case kTimeout:
        if (!readNumber(optarg, 1, 86400, &o.timeout))
          return usageError(std::string("--timeout needs seconds from 1 to 86400, not '") + optarg +
                            "'");
        break;
      case kBasePort:
        if (!readNumber(optarg, 1, 65535, &o.basePort))
          return usageError(std::string("--base-port needs a TCP port from 1 to 65535, not '") +
                            optarg + "'");
        break;
      case kDryRun:
        o.dryRunFile = optarg;
        break;
      case kJsonl:
        o.jsonlFile = optarg;
        break;
      case kLogs:
        o.logsDir = optarg;
        break;
      case kThenCheck:
        o.thenCheck = true;
        break;
      case ':':
        return usageError(std::string("option '") + argv[optind - 1] + "' needs an argument");
      default:
        if (optopt > 0 && optopt < 256)
          return usageError(std::string("unknown option '-") + static_cast<char>(optopt) + "'");
        return usageError(std::string("unknown option '") + argv[optind - 1] + "'");
    }
  }
  for (int i = optind; i < argc; ++i) o.pairsFiles.push_back(argv[i]);

  if (o.lstFile.empty()) return usageError("-l TOPOLOGY is required");
  if (o.pairsFiles.empty()) return usageError("no PAIRS file to run");
  if (o.thenCheck && o.fdbsFile.empty())
    return usageError("--then-check needs the forwarding tables (-f FDBS)");
  if (o.resultsFile.empty()) return usageError("-o needs a file name");
  if (o.logsDir.empty()) return usageError("--logs needs a folder name");
  result.run = true;
  return result;
}

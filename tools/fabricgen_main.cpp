// fabricgen: writes a synthetic fat-tree fabric (topology, forwarding tables
// and, with private tables, their ingress maps) into a folder.
#include <errno.h>
#include <getopt.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "cli/limits.h"
#include "cli/numbers.h"
#include "cli/outputs.h"
#include "cli/version.h"
#include "fabric/dumps/readers.h"
#include "fabric/dumps/writers.h"
#include "tools/fabricgen.h"

namespace {

void showHelp() {
  std::printf(
      "Usage: fabricgen -o DIR [options]\n"
      "\n"
      "Writes a fat-tree fabric routed like a fat-tree / up-down subnet manager\n"
      "(or a min-hop one) into DIR: fabric.lst (topology), fabric.fdbs (forwarding\n"
      "tables) and, with --private-tables, fabric.plft. The same options always\n"
      "give the same files.\n"
      "\n"
      "Options:\n"
      "  -o, --output DIR        folder to write into (created if missing; required)\n"
      "  -L, --levels N          2: leaves and spines; 3: pods of leaves and spines\n"
      "                          joined by cores (default 2)\n"
      "  -r, --radix N           ports per switch, 2 to 254 (default 36)\n"
      "      --hosts-per-leaf N  hosts on each leaf (default radix/2)\n"
      "      --up-links N        up ports of each leaf; fewer than the hosts\n"
      "                          oversubscribes (default: as many as the hosts fit)\n"
      "      --parallel N        cables between each pair of connected switches (default 1)\n"
      "      --leaves N          2 levels: number of leaves; 3 levels: leaves per pod\n"
      "                          (default: as many as the spines' ports allow)\n"
      "      --pods N            3 levels: number of pods (default radix/parallel)\n"
      "      --hosts-per-rack N  hosts named r<rack>n<node> with N per rack\n"
      "                          (default: one rack per leaf)\n"
      "  -m, --lmc M             each host owns 2^M LIDs, 0 to 7 (default 0)\n"
      "      --private-tables    even-numbered leaves and spines route packets that\n"
      "                          enter from below with a second table\n"
      "      --dead-port1-host   the last host is a two-port adapter cabled on\n"
      "                          port 2 only\n"
      "      --shuffle SEED      lay the fabric out like a long-lived one: host and\n"
      "                          switch LIDs in a random order over the used range,\n"
      "                          a few left unused, and the dumps' nodes in another\n"
      "                          random order, both drawn from SEED (0 to 100000)\n"
      "      --routing ftree|minhop\n"
      "                          ftree (default): destination-mod-k, every up port\n"
      "                          carrying as many hosts; minhop: destination LIDs in\n"
      "                          ascending order, each switch taking its least used\n"
      "                          port on a shortest path (ties by port number), as a\n"
      "                          min-hop subnet manager does; with --private-tables\n"
      "                          both tables alike\n"
      "      --layout A|B        forwarding-table layout: A routing dump, B LFT dump\n"
      "                          (default A)\n"
      "      --topology-format lst|ibnetdiscover|ibnetdiscover-p\n"
      "                          topology as fabric.lst (default), or as the discovery\n"
      "                          diagnostic prints it: fabric.ibnetdiscover (plain\n"
      "                          form) or fabric.ibnetdiscover-p (ports report)\n"
      "      --fault-missing-entry  the last host's leaf loses that host's LID entry\n"
      "      --fault-loop        the first leaf and its first spine bounce the last\n"
      "                          host's LID between them\n"
      "      --fault-wrong-host  the last host's leaf forwards its LID to another host\n"
      "  -h, --help              this text\n"
      "  -V, --version           the version, then exit\n"
      "\n"
      "Example: fabricgen -o out --leaves 4 --hosts-per-leaf 4 --up-links 2\n"
      "  (4 leaves of 4 hosts, racks r01..r04, under 2 spines)\n");
  std::fflush(stdout);
}

enum LongOnly {
  kHostsPerLeaf = 256,
  kUpLinks,
  kParallel,
  kLeaves,
  kPods,
  kHostsPerRack,
  kPrivateTables,
  kFaultMissing,
  kFaultLoop,
  kFaultWrongHost,
  kLayout,
  kTopologyFormat,
  kDeadPort1Host,
  kShuffle,
  kRouting,
};

const option kOptions[] = {
    {"output", required_argument, nullptr, 'o'},
    {"levels", required_argument, nullptr, 'L'},
    {"radix", required_argument, nullptr, 'r'},
    {"hosts-per-leaf", required_argument, nullptr, kHostsPerLeaf},
    {"up-links", required_argument, nullptr, kUpLinks},
    {"parallel", required_argument, nullptr, kParallel},
    {"leaves", required_argument, nullptr, kLeaves},
    {"pods", required_argument, nullptr, kPods},
    {"hosts-per-rack", required_argument, nullptr, kHostsPerRack},
    {"lmc", required_argument, nullptr, 'm'},
    {"private-tables", no_argument, nullptr, kPrivateTables},
    {"layout", required_argument, nullptr, kLayout},
    {"topology-format", required_argument, nullptr, kTopologyFormat},
    {"dead-port1-host", no_argument, nullptr, kDeadPort1Host},
    {"shuffle", required_argument, nullptr, kShuffle},
    {"routing", required_argument, nullptr, kRouting},
    {"fault-missing-entry", no_argument, nullptr, kFaultMissing},
    {"fault-loop", no_argument, nullptr, kFaultLoop},
    {"fault-wrong-host", no_argument, nullptr, kFaultWrongHost},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, 'V'},
    {nullptr, 0, nullptr, 0},
};

// A whole decimal number from 0 to 100000; anything else is refused.
bool readCount(const char* text, const char* option, int* value) {
  uint64_t v;
  if (!readWholeNumber(text, 100000, &v)) {
    std::fprintf(stderr, "fabricgen: %s needs a number from 0 to 100000, not '%s'\n", option, text);
    return false;
  }
  *value = static_cast<int>(v);
  return true;
}

int usageError() {
  std::fprintf(stderr, "Try 'fabricgen --help'.\n");
  return 1;
}

// The status, unless what went to standard output was not all written.
int finish(int status) {
  std::string why;
  if (flushStandardOutput(&why)) return status;
  std::fprintf(stderr, "fabricgen: cannot write standard output%s%s\n", why.empty() ? "" : ": ",
               why.c_str());
  return 1;
}

}  // namespace

int main(int argc, char* argv[]) {
  // A closed standard descriptor must not become one of the files written.
  if (!keepStandardDescriptors()) {
    std::fprintf(stderr, "fabricgen: cannot open /dev/null\n");
    return 1;
  }
  GenOptions gen;
  std::string dir;
  char layout = 'A';
  TopologyForm topology = TopologyForm::kLst;
  const char* topologyFile = "fabric.lst";
  int lmc = 0;
  int seed = 0;

  // Options.
  int c;
  while ((c = getopt_long(argc, argv, "o:L:r:m:hV", kOptions, nullptr)) != -1) {
    bool ok = true;
    switch (c) {
      case 'o':
        dir = optarg;
        break;
      case 'L':
        ok = readCount(optarg, "--levels", &gen.levels);
        break;
      case 'r':
        ok = readCount(optarg, "--radix", &gen.radix);
        break;
      case kHostsPerLeaf:
        ok = readCount(optarg, "--hosts-per-leaf", &gen.hostsPerLeaf);
        break;
      case kUpLinks:
        ok = readCount(optarg, "--up-links", &gen.upLinks);
        break;
      case kParallel:
        ok = readCount(optarg, "--parallel", &gen.parallelLinks);
        break;
      case kLeaves:
        ok = readCount(optarg, "--leaves", &gen.leaves);
        break;
      case kPods:
        ok = readCount(optarg, "--pods", &gen.pods);
        break;
      case kHostsPerRack:
        ok = readCount(optarg, "--hosts-per-rack", &gen.hostsPerRack);
        break;
      case 'm':
        ok = readCount(optarg, "--lmc", &lmc);
        if (ok && lmc > kMaxLmc) {
          std::fprintf(stderr, "fabricgen: --lmc must be from 0 to %d, not %d\n", kMaxLmc, lmc);
          ok = false;
        }
        gen.lmc = static_cast<uint16_t>(lmc);
        break;
      case kPrivateTables:
        gen.privateTables = true;
        break;
      case kDeadPort1Host:
        gen.deadPort1Host = true;
        break;
      case kTopologyFormat:
        if (std::strcmp(optarg, "ibnetdiscover") == 0) {
          topology = TopologyForm::kPlain;
          topologyFile = "fabric.ibnetdiscover";
        } else if (std::strcmp(optarg, "ibnetdiscover-p") == 0) {
          topology = TopologyForm::kPorts;
          topologyFile = "fabric.ibnetdiscover-p";
        } else if (std::strcmp(optarg, "lst") != 0) {
          std::fprintf(stderr,
                       "fabricgen: --topology-format must be lst, ibnetdiscover or "
                       "ibnetdiscover-p, not '%s'\n",
                       optarg);
          ok = false;
        }
        break;
      case kLayout:
        if ((optarg[0] != 'A' && optarg[0] != 'B') || optarg[1] != '\0') {
          std::fprintf(stderr, "fabricgen: --layout must be A or B, not '%s'\n", optarg);
          ok = false;
        }
        layout = optarg[0];
        break;
      case kShuffle:
        ok = readCount(optarg, "--shuffle", &seed);
        gen.shuffled = true;
        gen.shuffleSeed = static_cast<uint32_t>(seed);
        break;
      case kRouting:
        if (std::strcmp(optarg, "minhop") == 0) {
          gen.routing = GenOptions::Routing::kMinHop;
        } else if (std::strcmp(optarg, "ftree") == 0) {
          gen.routing = GenOptions::Routing::kFatTree;
        } else {
          std::fprintf(stderr, "fabricgen: --routing must be ftree or minhop, not '%s'\n", optarg);
          ok = false;
        }
        break;
      case kFaultMissing:
        gen.faultMissingEntry = true;
        break;
      case kFaultLoop:
        gen.faultLoop = true;
        break;
      case kFaultWrongHost:
        gen.faultWrongHost = true;
        break;
      case 'h':
        showHelp();
        return finish(0);
      case 'V':
        printVersion("fabricgen");
        return finish(0);
      default:  // getopt_long has said what is wrong
        return usageError();
    }
    if (!ok) return usageError();
  }
  if (optind < argc) {
    std::fprintf(stderr, "fabricgen: unexpected argument '%s'\n", argv[optind]);
    return usageError();
  }
  if (dir.empty()) {
    std::fprintf(stderr, "fabricgen: missing -o DIR\n");
    return usageError();
  }

  // The fabric.
  std::string err;
  IBFabric fabric;
  GenSummary summary;
  if (!generateFabric(gen, fabric, &err, &summary)) {
    std::fprintf(stderr, "fabricgen: %s\n", err.c_str());
    return 1;
  }

  // The files.
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  if (ec) {
    std::fprintf(stderr, "fabricgen: cannot create %s: %s\n", dir.c_str(), ec.message().c_str());
    return 1;
  }
  if (!writeFabricFiles(fabric, dir, layout, &err)) {
    std::fprintf(stderr, "fabricgen: %s\n", err.c_str());
    return 1;
  }
  // Another topology form replaces fabric.lst.
  if (topology != TopologyForm::kLst) {
    std::string base = dir + "/";
    if (!writeTopologyFile(fabric, base + topologyFile, topology, &err)) {
      std::fprintf(stderr, "fabricgen: %s\n", err.c_str());
      return 1;
    }
    if (::unlink((base + "fabric.lst").c_str()) != 0) {
      std::fprintf(stderr, "fabricgen: %sfabric.lst: cannot remove: %s\n", base.c_str(),
                   std::strerror(errno));
      return 1;
    }
  }
  std::printf("fabricgen: %d hosts, %d switches, %d links, LIDs up to %u, written to %s\n",
              summary.hosts, summary.switches, summary.links, unsigned{summary.maxLid},
              dir.c_str());
  return finish(0);
}

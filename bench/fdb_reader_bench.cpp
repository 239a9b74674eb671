// Throughput and memory of the forwarding-table reader on large routing
// dumps. The inputs are generated into /tmp on first use (a chain of 36-port
// switches and, per switch, a routing-dump section listing LIDs 1..L) and
// reused by later runs; they are never part of the source tree.
//
// Each size is read on one thread and on all cores; cpu_s is the CPU time of
// the whole process (every thread) per read. With LINKDEAL_BENCH_FABRIC=DIR
// set, ReadFabricDir reads DIR/fabric.fdbs (after DIR/fabric.lst and, when
// present, DIR/fabric.plft) as well, for instance a fabricgen tree.
//
// Run: fdb_reader_bench --benchmark_filter=ReadFdb

#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fabric/dumps/readers.h"
#include "fabric/fabric.h"

namespace {

constexpr int kSwitchPorts = 36;

uint64_t switchGuid(int i) {
  return 0x0c42a10300000000ull + static_cast<uint64_t>(i);
}

std::string end(int i, int pn) {
  char text[256];
  std::snprintf(
      text, sizeof text,
      "{ SW Ports:%02X SystemGUID:%016llx NodeGUID:%016llx PortGUID:%016llx VenID:000002C9 "
      "DevID:CF080000 Rev:000000A0 {MF0;sw%04d:MQM8700/U1} LID:%04X PN:%02X }",
      kSwitchPorts, static_cast<unsigned long long>(switchGuid(i)),
      static_cast<unsigned long long>(switchGuid(i)),
      static_cast<unsigned long long>(switchGuid(i)), i, i + 1, pn);
  return text;
}

off_t fileSize(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

// Writes to a temporary name and renames, so an interrupted run never leaves
// a half-written file that a later run would take as complete.
template <typename Fill>
bool generate(const std::string& path, Fill fill) {
  if (fileSize(path) > 0) return true;
  std::string tmp = path + ".part";
  FILE* f = std::fopen(tmp.c_str(), "wb");
  if (!f) return false;
  static char buf[1 << 20];
  std::setvbuf(f, buf, _IOFBF, sizeof buf);
  fill(f);
  bool ok = std::fclose(f) == 0;
  return ok && std::rename(tmp.c_str(), path.c_str()) == 0;
}

bool makeTopology(const std::string& path, int switches) {
  return generate(path, [&](FILE* f) {
    for (int i = 0; i + 1 < switches; ++i) {
      std::fprintf(f, "%s %s PHY=4x LOG=ACT SPD=50\n", end(i, 1).c_str(), end(i + 1, 2).c_str());
    }
  });
}

bool makeRoutes(const std::string& path, int switches, int lids) {
  return generate(path, [&](FILE* f) {
    uint32_t seed = 1;
    char row[64];
    static const char kHex[] = "0123456789ABCDEF";
    for (int s = 0; s < switches; ++s) {
      std::fprintf(f, "dump_ucast_routes: Switch 0x%016llx\nLID    : Port : Hops : Optimal\n",
                   static_cast<unsigned long long>(switchGuid(s)));
      for (int lid = 1; lid <= lids; ++lid) {
        seed = seed * 1103515245u + 12345u;
        unsigned r = (seed >> 16) % 64;
        row[0] = '0';
        row[1] = 'x';
        for (int k = 0; k < 4; ++k) row[2 + k] = kHex[(lid >> (12 - 4 * k)) & 0xF];
        int n = 6;
        if (r == 0) {
          std::memcpy(row + n, " : UNREACHABLE\n", 15);
          n += 15;
        } else {
          unsigned port = 1 + r % kSwitchPorts;
          std::memcpy(row + n, " : 0", 4);
          row[n + 4] = static_cast<char>('0' + port / 10);
          row[n + 5] = static_cast<char>('0' + port % 10);
          std::memcpy(row + n + 6, "  : 02   : yes\n", 15);
          n += 21;
        }
        std::fwrite(row, 1, static_cast<size_t>(n), f);
      }
    }
  });
}

long peakRssKb() {
  struct rusage ru;
  getrusage(RUSAGE_SELF, &ru);
  return ru.ru_maxrss;
}

double processCpuSeconds() {
  struct rusage ru;
  getrusage(RUSAGE_SELF, &ru);
  return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
         static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

// Reads fdb into fabric once per iteration on the given threads (0: all
// cores) and reports bytes per second, CPU and memory.
void readRepeatedly(benchmark::State& state, IBFabric& fabric, const std::string& fdb,
                    unsigned threads) {
  std::string err;
  long before = peakRssKb();
  size_t pieces = 0;
  double cpu0 = processCpuSeconds();
  for (auto _ : state) {
    if (!readFdbFile(fabric, fdb, &err, nullptr, {threads, 0, &pieces})) {
      state.SkipWithError(err.c_str());
      return;
    }
  }
  double cpu = processCpuSeconds() - cpu0;
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * fileSize(fdb));
  state.counters["file_MB"] = static_cast<double>(fileSize(fdb)) / 1e6;
  state.counters["pieces"] = static_cast<double>(pieces);
  state.counters["cpu_s"] = cpu / static_cast<double>(state.iterations());
  state.counters["rss_before_MB"] = static_cast<double>(before) / 1024;
  state.counters["peak_rss_MB"] = static_cast<double>(peakRssKb()) / 1024;
}

void ReadFdb(benchmark::State& state) {
  int switches = static_cast<int>(state.range(0));
  int lids = static_cast<int>(state.range(1));
  std::string base = "/tmp/linkdeal_bench_" + std::to_string(switches) + "x" + std::to_string(lids);
  std::string lst = base + ".lst";
  std::string fdb = base + ".fdbs";
  if (!makeTopology(lst, switches) || !makeRoutes(fdb, switches, lids)) {
    state.SkipWithError("cannot write the input files in /tmp");
    return;
  }
  IBFabric fabric;
  std::string err;
  if (!readLstFile(fabric, lst, &err)) {
    state.SkipWithError(err.c_str());
    return;
  }
  readRepeatedly(state, fabric, fdb, static_cast<unsigned>(state.range(2)));
}

// ~32 MB, ~130 MB, ~325 MB and ~500 MB of rows; one thread, then all cores.
BENCHMARK(ReadFdb)
    ->ArgsProduct({{300}, {4000, 16000, 40000}, {1, 0}})
    ->Args({400, 46000, 1})
    ->Args({400, 46000, 0})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

void ReadFabricDir(benchmark::State& state) {
  const char* dir = std::getenv("LINKDEAL_BENCH_FABRIC");
  if (!dir) {
    state.SkipWithError("LINKDEAL_BENCH_FABRIC is not set");
    return;
  }
  IBFabric fabric;
  std::string err;
  std::string plft = std::string(dir) + "/fabric.plft";
  if (!readLstFile(fabric, std::string(dir) + "/fabric.lst", &err) ||
      (fileSize(plft) >= 0 && !readPlftFile(fabric, plft, &err))) {
    state.SkipWithError(err.c_str());
    return;
  }
  readRepeatedly(state, fabric, std::string(dir) + "/fabric.fdbs",
                 static_cast<unsigned>(state.range(0)));
}
BENCHMARK(ReadFabricDir)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();

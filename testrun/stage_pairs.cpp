#include "testrun/stage_pairs.h"

#include <unordered_map>

std::vector<RunPair> placeStage(const Stage& stage, const HostMap& map,
                                const std::string& defaultDevice) {
  std::vector<RunPair> pairs;
  pairs.reserve(stage.pairs.size());
  for (const PlanPair& p : stage.pairs) {
    RunPair r;
    r.src = resolvePairEnd(p.src, map, defaultDevice);
    r.dst = resolvePairEnd(p.dst, map, defaultDevice);
    r.dlid = p.lid;
    if (r.src.host.empty())
      r.leftOut = r.src.problem;
    else if (r.dst.host.empty())
      r.leftOut = r.dst.problem;
    pairs.push_back(std::move(r));
  }
  return pairs;
}

namespace {

// The options server and client share, as ib_write_bw wants them equal.
std::vector<std::string> commonArgs(const PairEnd& end, unsigned tcpPort,
                                    const TestSettings& settings) {
  std::vector<std::string> args = {"ib_write_bw"};
  if (!end.device.empty()) {
    args.push_back("-d");
    args.push_back(end.device);
  }
  args.insert(args.end(), {"-i", std::to_string(end.ibPort), "-p", std::to_string(tcpPort), "-D",
                           std::to_string(settings.duration), "-F", "--report_gbits"});
  if (settings.size) {
    args.push_back("-s");
    args.push_back(std::to_string(settings.size));
  }
  return args;
}

}  // namespace

bool prepareCommands(std::vector<RunPair>& pairs, const TestSettings& settings, std::string* err) {
  std::unordered_map<std::string, unsigned> serversOnHost;
  unsigned onMachine = 0;
  for (RunPair& p : pairs) {
    if (!p.leftOut.empty()) continue;
    unsigned offset = settings.oneMachine ? onMachine++ : serversOnHost[p.dst.host]++;
    if (settings.basePort + offset > 65535) {
      *err = "too many servers on " + (settings.oneMachine ? "this machine" : p.dst.host) +
             " for TCP ports from " + std::to_string(settings.basePort) + " (see --base-port)";
      return false;
    }
    p.tcpPort = settings.basePort + offset;
    p.server = commonArgs(p.dst, p.tcpPort, settings);
    p.client = commonArgs(p.src, p.tcpPort, settings);
    if (p.dlid) {
      p.client.push_back("--dlid");
      p.client.push_back(std::to_string(p.dlid));
    }
    p.client.push_back(settings.oneMachine ? "localhost" : p.dst.host);
  }
  return true;
}

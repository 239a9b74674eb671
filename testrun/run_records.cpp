#include "testrun/run_records.h"

#include <nlohmann/json.hpp>

#include <cstdio>

#include "testrun/shell_words.h"

namespace {

std::string gbpsText(double value) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.6g", value);
  return buf;
}

nlohmann::json endJson(const PairEnd& end, unsigned tcpPort) {
  return {{"endpoint", end.port->getName()},
          {"host", end.host},
          {"device", end.device},
          {"port", end.ibPort},
          {"tcp_port", tcpPort}};
}

nlohmann::json numberOrNull(double v, bool present) {
  return present ? nlohmann::json(v) : nlohmann::json(nullptr);
}

}  // namespace

std::string resultsText(const std::vector<StageRun>& stages) {
  size_t measured = 0, failed = 0;
  for (const StageRun& s : stages)
    for (const PairOutcome& o : s.outcomes) (o.measured ? measured : failed)++;
  std::string text = "# linkdeal-run results: Gb/s average of each pair's client; " +
                     std::to_string(measured) + " measured, " + std::to_string(failed) +
                     " failed\n";
  for (const StageRun& s : stages) {
    text += "STAGE " + std::to_string(s.number) + "\n";
    for (size_t i = 0; i < s.pairs.size(); ++i) {
      const PairOutcome& o = s.outcomes[i];
      std::string pair = s.pairs[i].src.port->getName() + " " + s.pairs[i].dst.port->getName();
      if (o.measured)
        text += pair + " " + gbpsText(o.clientGbps) + "\n";
      else
        text += "# failed " + pair + ": " + o.reason + "\n";
    }
  }
  return text;
}

std::string jsonLines(const std::vector<StageRun>& stages) {
  std::string text;
  for (const StageRun& s : stages) {
    for (size_t i = 0; i < s.pairs.size(); ++i) {
      const RunPair& p = s.pairs[i];
      const PairOutcome& o = s.outcomes[i];
      nlohmann::json r = {
          {"stage", s.number},
          {"src", endJson(p.src, 0)},
          {"dst", endJson(p.dst, p.tcpPort)},
          {"dlid", p.dlid ? nlohmann::json(p.dlid) : nlohmann::json(nullptr)},
          {"server_command", p.server.empty() ? "" : shellCommand(p.server)},
          {"client_command", p.client.empty() ? "" : shellCommand(p.client)},
          {"measured", o.measured},
          {"reason", o.reason},
          {"client_exit_status", o.clientStatus >= 0 ? nlohmann::json(o.clientStatus) : nullptr},
          {"server_exit_status", o.serverStatus >= 0 ? nlohmann::json(o.serverStatus) : nullptr},
          {"timed_out", o.timedOut},
          {"client_gbps", numberOrNull(o.clientGbps, o.clientGbps >= 0)},
          {"server_gbps", numberOrNull(o.serverGbps, o.serverGbps >= 0)},
          {"start", numberOrNull(o.start, o.start > 0)},
          {"end", numberOrNull(o.end, o.end > 0)},
          {"server_log", o.serverLog},
          {"client_log", o.clientLog},
      };
      // Names are the topology's bytes, which need not be UTF-8.
      text += r.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
    }
  }
  return text;
}

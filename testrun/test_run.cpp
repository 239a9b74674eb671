#include "testrun/test_run.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>

#include "cli/console.h"
#include "cli/outputs.h"
#include "fabric/dumps/readers.h"
#include "pairs/pairs_reader.h"
#include "testrun/dry_run.h"
#include "testrun/processes.h"
#include "testrun/run_records.h"
#include "testrun/stage_runner.h"

namespace {

int cannotRun(const std::string& message) {
  std::fprintf(stderr, "linkdeal-run: %s\n", message.c_str());
  std::fflush(stderr);
  return kRunCannot;
}

std::vector<InputFile> inputFiles(const TestRunOptions& o) {
  std::vector<InputFile> inputs = {
      {"-l", o.lstFile}, {"-f", o.fdbsFile}, {"-P", o.plftFile}, {"--map", o.mapFile}};
  for (const std::string& file : o.pairsFiles) inputs.push_back({"PAIRS", file});
  return inputs;
}

// The outputs that must never be an input, and the logs folder that must
// hold none.
std::string outputProblem(const TestRunOptions& o) {
  std::vector<InputFile> inputs = inputFiles(o);
  std::vector<std::pair<const char*, std::string>> outputs = {
      {"-o", o.resultsFile}, {"--jsonl", o.jsonlFile}, {"--dry-run", o.dryRunFile}};
  for (const auto& [option, path] : outputs) {
    if (path.empty()) continue;
    if (InputFile in = inputAt(path, inputs); in.option)
      return std::string(option) + " " + path + " is an input of this run (" + in.option + " " +
             in.path + ")";
  }
  std::error_code ec;
  std::filesystem::path logs = std::filesystem::weakly_canonical(o.logsDir, ec);
  for (const InputFile& in : inputs) {
    if (in.path.empty()) continue;
    std::filesystem::path p = std::filesystem::weakly_canonical(in.path, ec);
    auto [a, b] = std::mismatch(logs.begin(), logs.end(), p.begin(), p.end());
    if (a == logs.end())
      return "--logs " + o.logsDir + " holds an input of this run (" + in.option + " " + in.path +
             ")";
  }
  return "";
}

bool writeOutput(const std::string& path, const std::string& text, std::string* err) {
  FILE* f = std::fopen(path.c_str(), "w");
  bool ok = f && std::fwrite(text.data(), 1, text.size(), f) == text.size();
  if (f && std::fclose(f) != 0) ok = false;
  if (!ok) *err = "cannot write " + path + ": " + std::strerror(errno);
  return ok;
}

// Leaves out the pairs with an end on a host that did not answer or on a
// port that is not active, saying which.
void leaveOutDead(const RunSettings& settings, std::vector<StageRun>& stages, std::string* err,
                  bool* ok) {
  std::map<std::string, std::vector<std::pair<std::string, unsigned>>> wanted;
  for (const StageRun& s : stages)
    for (const RunPair& p : s.pairs) {
      if (!p.leftOut.empty()) continue;
      for (const PairEnd* e : {&p.src, &p.dst}) {
        auto& ports = wanted[e->host];
        std::pair<std::string, unsigned> port{e->device, e->ibPort};
        if (std::find(ports.begin(), ports.end(), port) == ports.end()) ports.push_back(port);
      }
    }
  std::vector<std::pair<std::string, std::vector<std::pair<std::string, unsigned>>>> hosts(
      wanted.begin(), wanted.end());
  std::vector<HostProbe> probes;
  *ok = probeHosts(settings, hosts, &probes, err);
  if (!*ok) return;

  std::map<std::pair<std::string, std::pair<std::string, unsigned>>, std::string> down;
  std::map<std::string, std::string> dead;
  size_t unknown = 0;
  for (size_t h = 0; h < hosts.size(); ++h) {
    const std::string& host = hosts[h].first;
    if (!probes[h].answered) {
      dead[host] = "host " + host + " did not answer" +
                   (probes[h].launcherStatus >= 0
                        ? " (launcher exit status " + std::to_string(probes[h].launcherStatus) + ")"
                        : " within " + std::to_string(settings.timeout) + " s");
      printLine("-W- " + dead[host] + ": its pairs are left out");
      continue;
    }
    for (size_t k = 0; k < hosts[h].second.size(); ++k) {
      const std::string& state = probes[h].states[k];
      const auto& port = hosts[h].second[k];
      if (state == "unknown") ++unknown;
      if (portActive(state)) continue;
      std::string where = host + " " + (port.first.empty() ? "(first device)" : port.first) +
                          " port " + std::to_string(port.second);
      down[{host, port}] = where + " is " + state;
      printLine("-W- " + where + " is " + state + ", not ACTIVE: its pairs are left out");
    }
  }
  if (unknown)
    printLine("-W- no state file (/sys/class/infiniband/DEV/ports/N/state) for " +
              std::to_string(unknown) + " of the ports probed: run as if active");
  for (StageRun& s : stages)
    for (RunPair& p : s.pairs) {
      if (!p.leftOut.empty()) continue;
      for (const PairEnd* e : {&p.src, &p.dst}) {
        if (auto it = dead.find(e->host); it != dead.end()) p.leftOut = it->second;
        if (auto it = down.find({e->host, {e->device, e->ibPort}}); it != down.end())
          p.leftOut = it->second;
        if (!p.leftOut.empty()) break;
      }
    }
}

// linkdeal-check beside this program, else the one on PATH.
std::string checkProgram() {
  std::error_code ec;
  std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (!ec) {
    std::filesystem::path beside = self.parent_path() / "linkdeal-check";
    if (access(beside.c_str(), X_OK) == 0) return beside.string();
  }
  return "linkdeal-check";
}

// Runs linkdeal-check --results on the results and prints its report;
// returns its exit status (2 when it could not be started).
int runCheck(const TestRunOptions& o) {
  Launch launch;
  launch.argv = {checkProgram(), "-l", o.lstFile, "-f", o.fdbsFile};
  if (!o.plftFile.empty()) launch.argv.insert(launch.argv.end(), {"-P", o.plftFile});
  launch.argv.insert(launch.argv.end(), {"-m", std::to_string(o.lmc), "--results", o.resultsFile});
  launch.argv.insert(launch.argv.end(), o.pairsFiles.begin(), o.pairsFiles.end());
  // Its FILE:LINE messages go to this program's standard error.
  launch.sharedStderr = true;
  std::vector<Child> check(1);
  std::string err;
  if (!startChild(launch, &check[0], &err)) {
    printLine("-E- " + err);
    return kRunCannot;
  }
  pumpChildren(
      check, Clock::time_point::max(), [](size_t, std::string_view line) { printLine(line); },
      nullptr);
  killChildren(check);
  return check[0].status;
}

}  // namespace

int runTests(const TestRunOptions& o) {
  if (std::string problem = outputProblem(o); !problem.empty()) return cannotRun(problem);
  RunSettings settings;
  std::string err;
  if (!parseLauncher(o.launcher, &settings.launcher, &err)) return cannotRun(err);
  if (!o.device.empty() && !usableName(o.device))
    return cannotRun("--device '" + o.device + "' is no device name");
  settings.test.duration = o.duration;
  settings.test.size = o.size;
  settings.test.basePort = o.basePort;
  settings.test.oneMachine = settings.launcher.kind == LauncherKind::kLocal;
  settings.timeout = o.timeout;
  settings.logsDir = o.logsDir;

  // The fabric for the node descriptions, the map, and the plan.
  IBFabric fabric;
  if (!readLstFile(fabric, o.lstFile, &err)) return cannotRun(err);
  EndpointIndex endpoints(fabric);
  HostMap map;
  if (!o.mapFile.empty() && !readHostMap(o.mapFile, endpoints, &map, &err)) return cannotRun(err);
  PairPlan plan;
  for (const std::string& file : o.pairsFiles)
    if (!readPairsFile(file, endpoints, o.lmc, &plan, &err)) return cannotRun(err);

  // Every pair end on its host, device and port, with its commands.
  std::vector<StageRun> stages;
  for (const Stage& stage : plan.stages) {
    StageRun run;
    run.number = stage.number;
    run.pairs = placeStage(stage, map, o.device);
    if (!prepareCommands(run.pairs, settings.test, &err)) return cannotRun(err);
    stages.push_back(std::move(run));
  }
  for (const StageRun& s : stages)
    for (const RunPair& p : s.pairs)
      if (!p.leftOut.empty()) printLine("-W- left out: " + p.leftOut);

  if (!o.dryRunFile.empty()) {
    if (!writeOutput(o.dryRunFile, dryRunScript(settings, stages), &err)) return cannotRun(err);
    printLine("-I- Wrote the run of " + std::to_string(stages.size()) +
              " stages into: " + o.dryRunFile);
    return kRunAllMeasured;
  }

  // The hosts first: pairs on one that is dead, or on a port that is down, stay out.
  catchInterrupts();
  bool ok;
  leaveOutDead(settings, stages, &err, &ok);
  if (!ok) return cannotRun(err);

  const bool progress = isatty(2);
  size_t measured = 0, failed = 0;
  for (size_t k = 0; k < stages.size(); ++k) {
    StageRun& s = stages[k];
    printLine("-I- Stage " + std::to_string(s.number) + ": " + std::to_string(s.pairs.size()) +
              (s.pairs.size() == 1 ? " pair" : " pairs"));
    if (!runStage(settings, &s, &err)) return cannotRun(err);
    size_t stageMeasured = 0;
    double first = 0, last = 0, ended = 0;
    for (size_t i = 0; i < s.pairs.size(); ++i) {
      const PairOutcome& out = s.outcomes[i];
      if (out.measured) ++stageMeasured;
      if (!out.measured)
        printLine("-W- Stage " + std::to_string(s.number) + " " + s.pairs[i].src.port->getName() +
                  " " + s.pairs[i].dst.port->getName() + " failed: " + out.reason);
      if (out.start > 0) {
        first = first == 0 ? out.start : std::min(first, out.start);
        last = std::max(last, out.start);
      }
      ended = std::max(ended, out.end);
    }
    measured += stageMeasured;
    failed += s.pairs.size() - stageMeasured;
    char spread[128] = "";
    if (first > 0)
      std::snprintf(
          spread, sizeof spread,
          "; clients started within %.2f s, the last ended %.2f s after the first started",
          last - first, ended - first);
    printLine("-I- Stage " + std::to_string(s.number) + ": " + std::to_string(stageMeasured) +
              " measured, " + std::to_string(s.pairs.size() - stageMeasured) + " failed" + spread);
    if (progress) {
      std::fprintf(stderr, "linkdeal-run: stage %zu of %zu done: %zu measured, %zu failed\n", k + 1,
                   stages.size(), stageMeasured, s.pairs.size() - stageMeasured);
      std::fflush(stderr);
    }
  }

  if (!writeOutput(o.resultsFile, resultsText(stages), &err)) return cannotRun(err);
  if (!o.jsonlFile.empty() && !writeOutput(o.jsonlFile, jsonLines(stages), &err))
    return cannotRun(err);
  printLine("-I- Wrote " + std::to_string(measured) + " results (" + std::to_string(failed) +
            " pairs failed) into: " + o.resultsFile);

  int status = failed ? kRunSomeFailed : kRunAllMeasured;
  if (o.thenCheck) {
    int check = runCheck(o);
    // The check's 1 (a stage that does not hold) and 3 (slow pairs) are
    // findings of the run; its 2 is a check that could not run.
    if (check != 0) status = check == 2 ? kRunCannot : std::max(status, kRunSomeFailed);
  }
  return status;
}

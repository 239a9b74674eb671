// How commands reach the hosts: the launchers, and the small script each
// host runs per stage, which starts all of that host's servers (or clients)
// and prints each one's output as its own tagged lines.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

enum class LauncherKind {
  kTemplate,  // a shell template with {host} and {cmd}; ssh is one
  kLocal,     // this machine
  kPdsh,      // one pdsh call over all hosts
  kSrun,      // one Slurm job step over all hosts
};

struct Launcher {
  LauncherKind kind = LauncherKind::kTemplate;
  std::string text;  // the template, or the launcher's name
};

inline constexpr std::string_view kSshTemplate = "ssh -o BatchMode=yes {host} {cmd}";

// "ssh", "pdsh", "srun", "local", or a template holding {cmd}.
bool parseLauncher(const std::string& text, Launcher* launcher, std::string* err);

// One launcher call per host (the script on its standard input), or one call
// for all the hosts of a step (each host reads its own script file).
inline bool launchesPerHost(const Launcher& l) {
  return l.kind == LauncherKind::kTemplate || l.kind == LauncherKind::kLocal;
}

// The command that runs, on host, the script given on its standard input.
std::vector<std::string> hostLaunch(const Launcher& launcher, const std::string& host);

// The command that runs, on every host, the script file named by
// scriptPrefix + host + ".sh" (files on a folder the hosts share, under Slurm).
std::vector<std::string> fanOutLaunch(const Launcher& launcher,
                                      const std::vector<std::string>& hosts,
                                      const std::string& scriptPrefix);

// What a host script starts: one command, tagged, for one pair.
struct ScriptCommand {
  size_t tag = 0;
  std::string pair;  // "SRC DST", in LINKDEAL_RUN_PAIR for the command
  std::vector<std::string> args;
};

// Starts every command at once and waits for them. Each prints its lines as
// "%TAG line": first "%TAG @start", then its output and a blank line (which
// ends an unfinished last line), last "%TAG @exit STATUS". Whatever is
// left after watchdogSeconds (0: no watchdog) is killed on the host itself,
// so that a lost launcher connection leaves nothing running there.
std::string hostScript(std::string_view title, const std::vector<ScriptCommand>& commands,
                       unsigned watchdogSeconds);

// Prints "%TAG state STATE" for each (device, port) in turn, as the port's
// state file gives it ("4: ACTIVE"; the first device where the device is
// empty; "unknown" where there is no state file), then "%TAG alive".
std::string probeScript(size_t tag, const std::vector<std::pair<std::string, unsigned>>& ports);

// A line of a launcher's output read as "%TAG text", also behind the
// "host: " that fan-out tools put in front. False for any other line.
bool readTaggedLine(std::string_view line, size_t* tag, std::string_view* text);

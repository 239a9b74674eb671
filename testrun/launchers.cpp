#include "testrun/launchers.h"

#include "testrun/shell_words.h"

bool parseLauncher(const std::string& text, Launcher* launcher, std::string* err) {
  launcher->text = text;
  if (text == "ssh") {
    launcher->kind = LauncherKind::kTemplate;
    launcher->text = kSshTemplate;
  } else if (text == "local") {
    launcher->kind = LauncherKind::kLocal;
  } else if (text == "pdsh") {
    launcher->kind = LauncherKind::kPdsh;
  } else if (text == "srun") {
    launcher->kind = LauncherKind::kSrun;
  } else if (text.find("{cmd}") != std::string::npos) {
    launcher->kind = LauncherKind::kTemplate;
  } else {
    *err = "--launcher takes ssh, pdsh, srun, local or a template with {cmd}, not '" + text + "'";
    return false;
  }
  return true;
}

namespace {

std::string replaceAll(std::string text, std::string_view what, std::string_view with) {
  for (size_t at = 0; (at = text.find(what, at)) != std::string::npos; at += with.size())
    text.replace(at, what.size(), with);
  return text;
}

std::string joined(const std::vector<std::string>& hosts) {
  std::string list;
  for (const std::string& h : hosts) list += (list.empty() ? "" : ",") + h;
  return list;
}

}  // namespace

std::vector<std::string> hostLaunch(const Launcher& launcher, const std::string& host) {
  if (launcher.kind == LauncherKind::kLocal) return {"/bin/sh", "-s"};
  // {cmd} is this fixed text, safe unquoted; the host is quoted.
  std::string line = replaceAll(launcher.text, "{host}", shellQuote(host));
  return {"/bin/sh", "-c", replaceAll(line, "{cmd}", "sh -s")};
}

std::vector<std::string> fanOutLaunch(const Launcher& launcher,
                                      const std::vector<std::string>& hosts,
                                      const std::string& scriptPrefix) {
  std::string n = std::to_string(hosts.size());
  if (launcher.kind == LauncherKind::kSrun) {
    // One task per host; each picks its own script by the node it runs on.
    return {"srun",
            "--overlap",
            "--nodes=" + n,
            "--ntasks=" + n,
            "--ntasks-per-node=1",
            "--nodelist=" + joined(hosts),
            "--kill-on-bad-exit=0",
            "sh",
            "-c",
            "exec sh " + shellQuote(scriptPrefix) + "\"$SLURMD_NODENAME\"" + shellQuote(".sh")};
  }
  // pdsh's exec module runs the command here once per host, %h made the host:
  // each ssh reads its host's script from this machine.
  return {"pdsh",
          "-R",
          "exec",
          "-f",
          n,
          "-w",
          joined(hosts),
          "sh",
          "-c",
          "exec ssh -o BatchMode=yes %h sh -s < " + shellQuote(scriptPrefix + "%h.sh")};
}

std::string hostScript(std::string_view title, const std::vector<ScriptCommand>& commands,
                       unsigned watchdogSeconds) {
  std::string s = "# linkdeal-run: ";
  s += title;
  s += "\n";
  if (watchdogSeconds)
    s += "( sleep " + std::to_string(watchdogSeconds) +
         "; kill 0 ) >/dev/null 2>&1 &\nwatchdog=$!\n";
  s += "run() {\n"
       "  tag=$1 LINKDEAL_RUN_PAIR=$2\n"
       "  export LINKDEAL_RUN_PAIR\n"
       "  shift 2\n"
       "  { echo @start; \"$@\" 2>&1; s=$?; echo; echo \"@exit $s\"; } </dev/null |\n"
       "    while IFS= read -r line || [ -n \"$line\" ]; do printf '%%%s %s\\n' \"$tag\" "
       "\"$line\"; done\n"
       "}\n"
       "pids=\n";
  for (const ScriptCommand& c : commands) {
    s += "run " + std::to_string(c.tag) + " " + shellQuote(c.pair) + " " + shellCommand(c.args) +
         " &\npids=\"$pids $!\"\n";
  }
  s += "wait $pids\n";
  if (watchdogSeconds) s += "kill $watchdog 2>/dev/null\n";
  return s;
}

std::string probeScript(size_t tag, const std::vector<std::pair<std::string, unsigned>>& ports) {
  std::string t = std::to_string(tag);
  std::string s =
      "# linkdeal-run: does the host answer, are its ports active\n"
      "state() {\n"
      "  d=$1\n"
      "  [ -n \"$d\" ] || for x in /sys/class/infiniband/*; do [ -e \"$x\" ] && d=${x##*/}; "
      "break; done\n"
      "  f=/sys/class/infiniband/$d/ports/$2/state\n"
      "  s=unknown\n"
      "  [ -n \"$d\" ] && [ -r \"$f\" ] && read -r s < \"$f\"\n"
      "  printf '%%%s state %s\\n' " +
      t + " \"$s\"\n}\n";
  for (const auto& [device, port] : ports)
    s += "state " + (device.empty() ? std::string("''") : shellQuote(device)) + " " +
         std::to_string(port) + "\n";
  s += "echo %" + t + " alive\n";
  return s;
}

bool readTaggedLine(std::string_view line, size_t* tag, std::string_view* text) {
  if (!line.starts_with('%')) {
    size_t at = line.find(": %");
    if (at == std::string_view::npos) return false;
    line.remove_prefix(at + 2);
  }
  size_t i = 1, n = 0;
  while (i < line.size() && line[i] >= '0' && line[i] <= '9' && i < 12)
    n = n * 10 + (line[i++] - '0');
  if (i == 1 || i >= line.size() || line[i] != ' ') return false;
  *tag = n;
  *text = line.substr(i + 1);
  return true;
}

#include "testrun/processes.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

extern char** environ;

namespace {

volatile sig_atomic_t stopRequested = 0;
constexpr size_t kLongestLine = 65536;

void onInterrupt(int) {
  stopRequested = 1;
}

// Reaps the child when it has exited; its group is killed first, while the
// unreaped leader keeps the group's number from being reused, so that
// nothing it left behind (a watchdog, a stray server) outlives it.
bool reapIfExited(Child& c) {
  siginfo_t info;
  info.si_pid = 0;
  if (waitid(P_PID, static_cast<id_t>(c.pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0 ||
      info.si_pid == 0)
    return false;
  kill(-c.pid, SIGKILL);
  int wstatus = 0;
  while (waitpid(c.pid, &wstatus, 0) < 0 && errno == EINTR) {
  }
  c.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
  c.ended = true;
  return true;
}

void closeOutput(Child& c) {
  if (c.out >= 0) close(c.out);
  c.out = -1;
}

}  // namespace

bool startChild(const Launch& launch, Child* child, std::string* err) {
  int pipeFds[2];
  if (pipe2(pipeFds, O_CLOEXEC) != 0) {
    *err = std::string("cannot make a pipe: ") + std::strerror(errno);
    return false;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(
      &actions, 0, launch.stdinFile.empty() ? "/dev/null" : launch.stdinFile.c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
  if (!launch.sharedStderr)
    posix_spawn_file_actions_addopen(
        &actions, 2, launch.stderrFile.empty() ? "/dev/null" : launch.stderrFile.c_str(),
        O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  sigaddset(&defaults, SIGINT);
  sigaddset(&defaults, SIGTERM);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setpgroup(&attr, 0);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF);

  std::vector<char*> argv;
  for (const std::string& a : launch.argv) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = -1;
  int rc = posix_spawnp(&pid, argv[0], &actions, &attr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  close(pipeFds[1]);
  if (rc != 0) {
    close(pipeFds[0]);
    *err = "cannot start " + launch.argv[0] + ": " + std::strerror(rc);
    return false;
  }
  fcntl(pipeFds[0], F_SETFL, O_NONBLOCK);
  *child = Child{};
  child->pid = pid;
  child->out = pipeFds[0];
  return true;
}

bool pumpChildren(std::vector<Child>& children, Clock::time_point deadline,
                  const std::function<void(size_t, std::string_view)>& onLine,
                  const std::function<bool()>& done) {
  std::vector<pollfd> fds;
  std::vector<size_t> which;
  char buf[65536];
  for (;;) {
    if (done && done()) return true;
    if (stopRequested) return false;
    fds.clear();
    which.clear();
    bool waiting = false;  // a child whose output ended but that has not exited yet
    for (size_t i = 0; i < children.size(); ++i) {
      Child& c = children[i];
      if (c.ended) continue;
      if (c.out >= 0) {
        fds.push_back({c.out, POLLIN, 0});
        which.push_back(i);
      } else if (!reapIfExited(c)) {
        waiting = true;
      }
    }
    if (fds.empty() && !waiting) return true;
    // Past the deadline, one last look at what is there already.
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    const bool last = left.count() <= 0;
    int wait = last ? 0 : static_cast<int>(std::min<long long>(left.count(), waiting ? 20 : 1000));
    if (poll(fds.data(), fds.size(), wait) < 0) {
      if (last) return false;
      continue;  // EINTR: look at the flag
    }
    for (size_t k = 0; k < fds.size(); ++k) {
      if (fds[k].revents == 0) continue;
      Child& c = children[which[k]];
      ssize_t n = read(c.out, buf, sizeof buf);
      if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      if (n <= 0) {
        if (!c.partial.empty()) onLine(which[k], c.partial);
        c.partial.clear();
        closeOutput(c);
        reapIfExited(c);
        continue;
      }
      // Whole lines go out at once; the rest waits for its newline.
      c.partial.append(buf, static_cast<size_t>(n));
      size_t start = 0;
      for (size_t nl; (nl = c.partial.find('\n', start)) != std::string::npos; start = nl + 1)
        onLine(which[k], std::string_view(c.partial).substr(start, nl - start));
      c.partial.erase(0, start);
      // A line without end is handed on in pieces rather than held whole.
      if (c.partial.size() > kLongestLine) {
        onLine(which[k], c.partial);
        c.partial.clear();
      }
    }
    if (last) return false;
  }
}

void killChildren(std::vector<Child>& children) {
  for (Child& c : children) {
    if (c.ended) continue;
    kill(-c.pid, SIGKILL);
    c.killed = true;
    closeOutput(c);
    int wstatus = 0;
    while (waitpid(c.pid, &wstatus, 0) < 0 && errno == EINTR) {
    }
    c.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
    c.ended = true;
  }
}

void catchInterrupts() {
  struct sigaction sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sa_handler = onInterrupt;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

bool interrupted() {
  return stopRequested != 0;
}

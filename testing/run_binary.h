// Test helper: runs a program with arguments and captures what it prints.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <vector>

extern char** environ;

struct BinaryRun {
  std::string out;  // standard output
  std::string err;  // standard error
  int status = -1;  // exit status; -1 when it did not exit normally
  int signal = 0;   // the signal that ended it, if any
  bool timedOut = false;
  std::string spawnError;  // set when the program could not be started
};

// Runs path with argv = {argv0, args...}, standard input from /dev/null.
// Both output pipes are drained together so neither can fill up and stall
// the child. A child still running after timeoutSeconds is killed, so a hang
// shows up as timedOut rather than as a stuck test.
inline BinaryRun runBinary(const std::string& path, const std::vector<std::string>& args,
                           const std::string& argv0 = "linkdeal", int timeoutSeconds = 120) {
  BinaryRun run;
  int outPipe[2], errPipe[2];
  if (pipe2(outPipe, O_CLOEXEC) != 0) {
    run.spawnError = "pipe failed";
    return run;
  }
  if (pipe2(errPipe, O_CLOEXEC) != 0) {
    close(outPipe[0]);
    close(outPipe[1]);
    run.spawnError = "pipe failed";
    return run;
  }

  std::vector<std::string> argvStrings;
  argvStrings.push_back(argv0);
  argvStrings.insert(argvStrings.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& s : argvStrings) argv.push_back(s.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
  posix_spawn_file_actions_adddup2(&actions, errPipe[1], 2);
  pid_t pid = -1;
  int rc = posix_spawn(&pid, path.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(outPipe[1]);
  close(errPipe[1]);
  if (rc != 0) {
    close(outPipe[0]);
    close(errPipe[0]);
    run.spawnError = "cannot start " + path;
    return run;
  }

  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
  pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
  std::string* sinks[2] = {&run.out, &run.err};
  int open = 2;
  while (open > 0) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      run.timedOut = true;
      kill(pid, SIGKILL);
      break;
    }
    if (poll(fds, 2, static_cast<int>(left.count())) < 0) continue;  // EINTR
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buf[65536];
      ssize_t n = read(fds[i].fd, buf, sizeof buf);
      if (n < 0 && errno == EINTR) continue;
      if (n > 0) {
        sinks[i]->append(buf, static_cast<size_t>(n));
      } else {
        close(fds[i].fd);
        fds[i].fd = -1;  // poll skips negative descriptors
        --open;
      }
    }
  }
  for (pollfd& p : fds)
    if (p.fd >= 0) close(p.fd);

  int wstatus = 0;
  while (waitpid(pid, &wstatus, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(wstatus)) run.status = WEXITSTATUS(wstatus);
  if (WIFSIGNALED(wstatus)) run.signal = WTERMSIG(wstatus);
  return run;
}

// Runs path with args as runBinary does, with a shell redirection applied
// to the program, such as ">/dev/full" or ">&-" (standard output closed).
inline BinaryRun runBinaryRedirected(const std::string& path, const std::vector<std::string>& args,
                                     const std::string& redirection) {
  std::vector<std::string> shellArgs = {"-c", "exec \"$0\" \"$@\" " + redirection, path};
  shellArgs.insert(shellArgs.end(), args.begin(), args.end());
  return runBinary("/bin/sh", shellArgs, "sh");
}

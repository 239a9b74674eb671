// Launched commands: each in its own process group, its standard output
// read line by line through poll, killed as a group when its time is up.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

using Clock = std::chrono::steady_clock;

struct Launch {
  std::vector<std::string> argv;  // argv[0] is looked up on PATH
  std::string stdinFile;          // empty: /dev/null
  std::string stderrFile;         // empty: /dev/null
  bool sharedStderr = false;      // standard error is this program's own
};

struct Child {
  pid_t pid = -1;       // also its process group
  int out = -1;         // its standard output; -1 once at its end
  std::string partial;  // an unfinished last line
  bool ended = false;   // exited and reaped
  bool killed = false;  // killed by killChildren
  int status = -1;      // exit status; 128 + signal when a signal ended it
};

// Starts the command in a process group of its own, with SIGPIPE at its
// default. False with *err when it cannot be started.
bool startChild(const Launch& launch, Child* child, std::string* err);

// Reads the children's output, handing each complete line to onLine (child
// index, line without newline), and reaps those that end, until done()
// holds, every child has ended, the deadline passes or interrupted() holds.
// Returns false at the deadline or on an interruption. A deadline already
// past still reads what is there (a pass between two starts, say).
bool pumpChildren(std::vector<Child>& children, Clock::time_point deadline,
                  const std::function<void(size_t, std::string_view)>& onLine,
                  const std::function<bool()>& done);

// Kills the process group of every child that has not ended (and whatever
// an ended child left in its group), then reaps them.
void killChildren(std::vector<Child>& children);

// SIGINT and SIGTERM set a flag instead of ending the program, so that a run
// stopped by hand still kills what it started.
void catchInterrupts();
bool interrupted();

// What parseCommandLine stores; the printed text is checked end to end in run/.
#include "cli/options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// One line per parse: the decision and every stored field.
std::string parse(std::vector<std::string> args) {
  args.insert(args.begin(), "linkdeal");
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  verbose = 0;
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  CommandLine cl = parseCommandLine(static_cast<int>(args.size()), argv.data());
  testing::internal::GetCapturedStderr();
  testing::internal::GetCapturedStdout();
  const RunOptions& o = cl.options;
  if (!cl.run) return "end " + std::to_string(cl.status);
  return "run l=" + o.lstFile + " f=" + o.fdbsFile + " P=" + o.plftFile + " i=" + o.groupRegex +
         " o=" + o.outFile + " n=" + std::to_string(o.maxFlowsPerLink) +
         " d=" + std::to_string(o.minDist) + " s=" + std::to_string(o.maxGroupSrcs) +
         " m=" + std::to_string(o.lmc) + " t=" + std::to_string(o.trustFdbs) +
         " v=" + std::to_string(verbose);
}

TEST(ParseCommandLine, StoresWhatTheRunUses) {
  struct Case {
    std::vector<std::string> args;
    std::string expected;
  };
  const Case cases[] = {
      {{"-l", "a", "-f", "b", "-i", "x"},
       "run l=a f=b P= i=x o=linkdeal.out n=1 d=0 s=0 m=0 t=0 v=0"},
      {{"-l", "a", "-f", "b", "-i", "x", "-o", "p.txt", "-t", "-v",
        "-P", "c", "-n", "3", "-d", "2", "-s", "9",     "-m", "7"},
       "run l=a f=b P=c i=x o=p.txt n=3 d=2 s=9 m=7 t=1 v=1"},
      {{"--lst=a", "--fdbs", "b", "--grp-rex", "x", "--trust-fdbs", "--max-hsd", "0", "--lmc", "2",
        "--max-grp-src=4", "--min-dist", "5", "--PLFT", "c", "--verbose"},
       "run l=a f=b P=c i=x o=linkdeal.out n=0 d=5 s=4 m=2 t=1 v=1"},
      {{"word", "-l", "a", "-o", "", "another", "-f", "b", "-i", "x", "-l", "z"},
       "run l=z f=b P= i=x o= n=1 d=0 s=0 m=0 t=0 v=0"},
      {{"-l", "a", "-f", "b", "-i", "x", "-m", "8"}, "end 1"},
      {{"-l", "a", "-f", "b", "-i", "x", "-m", "-65536"},
       "run l=a f=b P= i=x o=linkdeal.out n=1 d=0 s=0 m=0 t=0 v=0"},
      {{"-l", "a", "-f", "b"}, "end 1"},
      {{"-l", "a", "-f", "b", "-i", "x", "-q"}, "end 1"},
      {{"-l", "a", "-f", "b", "-i", "x", "-h"}, "end 0"},
      {{"-V", "-q"}, "end 0"},
  };
  // Also shows that every parse starts afresh within one process.
  for (const Case& c : cases) {
    std::string joined;
    for (const std::string& a : c.args) joined += " " + a;
    EXPECT_EQ(parse(c.args), c.expected) << joined;
  }
}

}  // namespace

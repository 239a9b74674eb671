// The command line, end to end: the built program's stdout, stderr and status.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fabric/fabric.h"
#include "testing/run_binary.h"

namespace {

const std::string kSep(74, '-');
const std::string kUsageLine =
    "linkdeal [-h][-v][-V][-t][-n nflow-per-link][-m lmc][-d min-dist] -l lst -f fdbs [-P PLFT] "
    "-i grp-regexp -s max-group-srcs";
const std::string kUsage = "Usage:\n" + kUsageLine + "\n";
const std::string kMissF = "-E- Missing -f FDBs file argument\n";
const std::string kMissL = "-E- Missing -l LST file argument\n";
const std::string kMissI = "-E- Missing -i Regular Expression argument\n";

// Each text followed by a newline.
std::string lines(const std::vector<std::string>& texts) {
  std::string all;
  for (const std::string& t : texts) all += t + "\n";
  return all;
}

std::string version() {
  return std::string("linkdeal version: ") + get_corvex_version() + "\n";
}

std::string helpText() {
  return "   GENERATE A PERMUTATION MEETING GIVEN OVER-SUBSCRIPTION\n"
         "\nUSAGE: \n\n" +
         kUsageLine +
         "\n\n"
         "DESCRIPTION:\n"
         "Given exstracted lst/fdb, split the nodes into groups using the provided \n"
         "regular expression. Find a permutation (source destination pairs) \n"
         "where the source and destination are from different group.\n"
         "Such that the maximal number of flows through any link does not excceed the\n"
         "nflow-per-link.\n\n"
         "ARGUMENTS:\n"
         "-l <lst> : meshkeep-subnet.lst or linkprobe.lst file describing the network\n"
         "-f <fdbs> : the meshkeep.fdbs or linkprobe.fdbs file\n"
         "-P <PLFT> : a file holding private LFT mapping on switch.\n"
         "-i group-regexp: a regular expression to extract the group from a host name.\n"
         "   otherwise as regexp. A file should include <name>/P<port-num> or PortGUID.\n"
         "-s max-grp-srcs: maximal number of srcs to take from a group.\n\n"
         "OPTIONS:\n"
         "-d min-dist: accept only flows of minimal hop distance of min-dist (default 0).\n"
         "-n nflow-per-link: The maximal number of flows per link (default 1).\n"
         "-o out-file: output pairs file name (default pairs.txt)\n"
         "-t : trust the FDBs and skip verification of all CA to CA paths\n"
         "-m lmc : assume the network uses the given LMC value. I.e. each node is \n"
         "   assigned 2^LMC consequative LIDs.\n"
         "-v : verbose mode - prepare for being flooded... \n"
         "-h: this message\n"
         "-V|--version: Prints the version of the tool\n"
         "\n";
}

struct Case {
  const char* name;
  std::vector<std::string> args;
  std::string out;
  int status;
  std::string err = "";
};

void check(const std::vector<Case>& cases) {
  for (const Case& c : cases) {
    BinaryRun run = runBinary(LINKDEAL_BIN, c.args);
    ASSERT_EQ(run.spawnError, "") << c.name;
    EXPECT_EQ(run.out, c.out) << c.name;
    EXPECT_EQ(run.err, c.err) << c.name;
    EXPECT_EQ(run.status, c.status) << c.name;
  }
}

TEST(CommandLine, EndsEarly) {
  check({
      {"no arguments", {}, lines({kSep, kSep}) + kMissF + kMissL + kMissI + kUsage, 1},
      {"-h", {"-h"}, lines({kSep}) + helpText(), 0},
      {"--help after an echo, later options unread",
       {"-l", "a", "--help", "-x", "-V"},
       lines({kSep, "-I- LST file:a"}) + helpText(),
       0},
      {"-V", {"-V"}, lines({kSep}) + version(), 0},
      {"-l a -V", {"-l", "a", "-V"}, lines({kSep, "-I- LST file:a"}) + version(), 0},
      {"--version", {"--version", "-h"}, lines({kSep}) + version(), 0},
  });
}

TEST(CommandLine, EchoesEachOption) {
  check({
      {"short forms",
       {"-v", "-t", "-n", "5", "-m", "3", "-l", "a.lst", "-f", "b.fdbs", "-P", "c.plft", "-s", "2",
        "-d", "4", "-o", "out.pairs"},
       lines({kSep, "-I- Verbose Mode", "-I- Trust FDBs and skip CA to CA verification",
              "-I- Max Number of Flows per Link: 5", "-I- LMC: 3", "-I- LST file:a.lst",
              "-I- FDBs file:b.fdbs", "-I- PLFT File: c.plft", "-I- Max sources from each group: 2",
              "-I- Minimum path distance is: 4 hops", kSep}) +
           kMissI + kUsage,
       1},
      {"long forms",
       {"--verbose", "--trust-fdbs", "--max-hsd", "2", "--lmc=1", "--lst", "a", "--fdbs=b",
        "--PLFT", "p", "--max-grp-src", "7", "--min-dist", "3"},
       lines({kSep, "-I- Verbose Mode", "-I- Trust FDBs and skip CA to CA verification",
              "-I- Max Number of Flows per Link: 2", "-I- LMC: 1", "-I- LST file:a",
              "-I- FDBs file:b", "-I- PLFT File: p", "-I- Max sources from each group: 7",
              "-I- Minimum path distance is: 3 hops", kSep}) +
           kMissI + kUsage,
       1},
      {"--grp-rex",
       {"--grp-rex", "^(x)"},
       lines({kSep, "-I- Groups Regular Expression:^(x)", kSep}) + kMissF + kMissL + kUsage,
       1},
      {"repeated options echo again, stray words ignored",
       {"stray", "-l", "a", "-l", "b", "-n", "2", "more", "-n", "3", "-i", "x", "-i", "y"},
       lines({kSep, "-I- LST file:a", "-I- LST file:b", "-I- Max Number of Flows per Link: 2",
              "-I- Max Number of Flows per Link: 3", "-I- Groups Regular Expression:x",
              "-I- Groups Regular Expression:y", kSep}) +
           kMissF + kUsage,
       1},
      {"empty required arguments count as missing",
       {"-l", "", "-f", "", "-i", ""},
       lines({kSep, "-I- LST file:", "-I- FDBs file:", "-I- Groups Regular Expression:", kSep}) +
           kMissF + kMissL + kMissI + kUsage,
       1},
  });
}

TEST(CommandLine, NumbersAsStrtolReadsThem) {
  check({
      {"-n -1 keeps the low 32 bits",
       {"-n", "-1", "-l", "a"},
       lines({kSep, "-I- Max Number of Flows per Link: 4294967295", "-I- LST file:a", kSep}) +
           kMissF + kMissI + kUsage,
       1},
      {"blanks, sign, trailing text, no digits",
       {"-n", "  +12abc", "-s", "abc", "-d", "-1", "-s", "4294967296"},
       lines({kSep, "-I- Max Number of Flows per Link: 12", "-I- Max sources from each group: 0",
              "-I- Minimum path distance is: 4294967295 hops", "-I- Max sources from each group: 0",
              kSep}) +
           kMissF + kMissL + kMissI + kUsage,
       1},
      {"-m 7 is the largest LMC",
       {"-m", "7", "-l", "a", "-f", "b"},
       lines({kSep, "-I- LMC: 7", "-I- LST file:a", "-I- FDBs file:b", kSep}) + kMissI + kUsage,
       1},
      {"-m 65536 stores 0",
       {"-m", "65536", "-l", "a", "-f", "b"},
       lines({kSep, "-I- LMC: 0", "-I- LST file:a", "-I- FDBs file:b", kSep}) + kMissI + kUsage,
       1},
      {"-m 8 is refused",
       {"-m", "8", "-l", "a", "-f", "b", "-i", "x"},
       lines({kSep, "-I- LMC: 8", "-I- LST file:a", "-I- FDBs file:b",
              "-I- Groups Regular Expression:x", kSep,
              "-E- Invalid -m LMC value: 8 (must be 0 to 7)"}) +
           kUsage,
       1},
      {"-m -1 is refused after the missing inputs",
       {"-m", "-1", "-l", "a"},
       lines({kSep, "-I- LMC: 65535", "-I- LST file:a", kSep}) + kMissF + kMissI +
           "-E- Invalid -m LMC value: 65535 (must be 0 to 7)\n" + kUsage,
       1},
  });
}

TEST(CommandLine, BadOptionsStopAtOnce) {
  check({
      {"unknown letter after -l a",
       {"-l", "a", "-x", "-f", "b"},
       lines({kSep, "-I- LST file:a"}) + kUsage,
       1,
       "linkdeal: invalid option -- 'x'\n"},
      {"unknown long name",
       {"--bogus", "-l", "a"},
       lines({kSep}) + kUsage,
       1,
       "linkdeal: unrecognized option '--bogus'\n"},
      {"short option without its argument",
       {"-i", "x", "-l"},
       lines({kSep, "-I- Groups Regular Expression:x"}) + kUsage,
       1,
       "linkdeal: option requires an argument -- 'l'\n"},
      {"long option without its argument",
       {"--fdbs"},
       lines({kSep}) + kUsage,
       1,
       "linkdeal: option '--fdbs' requires an argument\n"},
      {"-o without its argument",
       {"-o"},
       lines({kSep}) + kUsage,
       1,
       "linkdeal: option requires an argument -- 'o'\n"},
      {"-o has no long form",
       {"--o", "x"},
       lines({kSep}) + kUsage,
       1,
       "linkdeal: unrecognized option '--o'\n"},
  });
}

}  // namespace

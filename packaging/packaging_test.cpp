// Man pages and bash completion against what each installed program's --help
// says it accepts; what every program owes its standard output.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "testing/run_binary.h"
#include "testing/test_files.h"

namespace {

struct Program {
  std::string name;
  std::string page;  // path of its man page in the source tree
  std::string completion;
  std::string binary;
};

// LINKDEAL_PROGRAMS is "name:section:binary,...", from the install list.
std::vector<Program> programs() {
  std::vector<Program> all;
  std::string list = LINKDEAL_PROGRAMS;
  const std::string src = std::string(LINKDEAL_SOURCE_DIR) + "/packaging/";
  for (size_t start = 0; start < list.size();) {
    size_t end = list.find(',', start);
    if (end == std::string::npos) end = list.size();
    std::string entry = list.substr(start, end - start);
    size_t a = entry.find(':'), b = entry.find(':', a + 1);
    std::string name = entry.substr(0, a);
    all.push_back({name, src + "man/" + name + "." + entry.substr(a + 1, b - a - 1),
                   src + "bash-completion/" + name, entry.substr(b + 1)});
    start = end + 1;
  }
  return all;
}

bool optionChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '-';
}

// Every "-x" and "--long-name" that starts a word of the text (so the "-" in
// "nflow-per-link" or "-I-" is no option).
std::set<std::string> optionsIn(const std::string& text) {
  std::set<std::string> found;
  for (size_t i = 0; i + 1 < text.size(); ++i) {
    if (text[i] != '-' || (i > 0 && optionChar(text[i - 1]))) continue;
    size_t end = i + 1;
    if (text[end] == '-') ++end;
    if (!std::isalpha(static_cast<unsigned char>(text[end]))) continue;
    while (end < text.size() && optionChar(text[end])) ++end;
    std::string word = text.substr(i, end - i);
    if (word[1] != '-' && word.size() > 2) continue;  // "-I-", "-l<x>"...
    found.insert(word);
  }
  return found;
}

// The page as it reads: "\-" is a plain minus, font changes are dropped.
std::string pageText(const std::string& troff) {
  std::string text;
  for (size_t i = 0; i < troff.size(); ++i) {
    if (troff[i] == '\\' && i + 1 < troff.size()) {
      char c = troff[i + 1];
      if (c == '-') {
        text += '-';
        ++i;
        continue;
      }
      if (c == 'f') {
        i += troff.compare(i + 2, 1, "(") == 0 ? 4 : 2;  // \fB or \f(CW
        continue;
      }
    }
    text += troff[i];
  }
  return text;
}

// What the program's completion function offers for the words; the last
// word is the one being completed.
std::set<std::string> complete(const Program& p, const std::vector<std::string>& words) {
  std::string functionName = p.name;  // _linkdeal_plan for linkdeal-plan
  for (char& c : functionName)
    if (c == '-') c = '_';
  std::vector<std::string> args = {"-c",
                                   "source \"$1\"; shift; COMP_WORDS=(\"$@\"); "
                                   "COMP_CWORD=$(($# - 1)); _" +
                                       functionName + "; printf '%s\\n' \"${COMPREPLY[@]}\"",
                                   "bash", p.completion, p.name};
  args.insert(args.end(), words.begin(), words.end());
  BinaryRun run = runBinary("/bin/bash", args, "bash");
  EXPECT_EQ(run.status, 0) << p.name << ": " << run.err;
  std::set<std::string> offered;
  for (const std::string& line : splitLines(run.out))
    if (!line.empty()) offered.insert(line);
  return offered;
}

TEST(Packaging, PageAndCompletionCoverEveryOptionOfTheHelp) {
  ASSERT_FALSE(programs().empty());
  for (const Program& p : programs()) {
    BinaryRun help = runBinary(p.binary, {"--help"}, p.name);
    ASSERT_EQ(help.status, 0) << p.binary << help.spawnError;
    std::set<std::string> options = optionsIn(help.out);
    EXPECT_GE(options.size(), 3u) << p.name << " --help:\n" << help.out;
    std::set<std::string> inPage = optionsIn(pageText(readTestFile(p.page)));
    std::set<std::string> offered = complete(p, {"-"});
    for (const std::string& o : options) {
      EXPECT_TRUE(inPage.count(o)) << p.page << " does not describe " << o;
      EXPECT_TRUE(offered.count(o)) << p.completion << " does not offer " << o;
    }
  }
}

// Help and version text lost on a full disk or a closed descriptor is a
// failure, with the status each page gives for one.
TEST(Packaging, LostStandardOutputFailsEveryProgram) {
  for (const Program& p : programs()) {
    const int failed = p.name == "linkdeal-check" || p.name == "linkdeal-run" ? 2 : 1;
    for (const char* option : {"--help", "--version"}) {
      for (const char* redirection : {">/dev/full", ">&-"}) {
        BinaryRun run = runBinaryRedirected(p.binary, {option}, redirection);
        EXPECT_EQ(run.status, failed) << p.name << " " << option << " " << redirection;
        EXPECT_NE(run.err.find("standard output"), std::string::npos) << p.name << run.err;
      }
    }
  }
}

TEST(Packaging, PagesRenderWithoutWarnings) {
  if (runBinary("/usr/bin/groff", {"-v"}, "groff").status != 0) GTEST_SKIP() << "no groff";
  for (const Program& p : programs()) {
    BinaryRun run = runBinary("/usr/bin/groff", {"-man", "-ww", "-z", p.page}, "groff");
    EXPECT_EQ(run.status, 0) << p.page;
    EXPECT_EQ(run.err, "") << p.page;
  }
}

TEST(Packaging, CompletionOffersFilesAfterAFileOption) {
  std::string dir = makeTestDir();
  FILE* f = std::fopen((dir + "/fabric.lst").c_str(), "w");
  ASSERT_NE(f, nullptr);
  std::fclose(f);
  ASSERT_TRUE(std::filesystem::create_directory(dir + "/sub"));
  for (const Program& p : programs()) {
    if (p.name == "linkdeal") {
      EXPECT_EQ(complete(p, {"-l", dir + "/fab"}), std::set<std::string>{dir + "/fabric.lst"});
      EXPECT_EQ(complete(p, {"-f", dir + "/"}),
                (std::set<std::string>{dir + "/fabric.lst", dir + "/sub"}));
    }
    if (p.name == "fabricgen") {
      EXPECT_EQ(complete(p, {"-o", dir + "/"}), std::set<std::string>{dir + "/sub"});
    }
  }
}

}  // namespace

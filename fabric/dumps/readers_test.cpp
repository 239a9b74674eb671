// What every reader does with files that are no dumps at all.
#include "fabric/dumps/readers.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "fabric/fabric.h"
#include "testing/test_files.h"

namespace {

// Files that are not text dumps at all, fed to each of the three readers.
TEST(Readers, RejectHostileFilesCleanly) {
  using Reader = bool (*)(IBFabric&, const std::string&, std::string*);
  const struct {
    const char* name;
    Reader read;
  } readers[] = {{"lst", readLstFile}, {"plft", readPlftFile}, {"fdb", readFdbFile}};

  std::string dir = makeTestDir("dir");
  std::string binary(
      "\x7f"
      "ELF\x02\x01\x01\0\0\0\0\0\0\0\0\0\x03\0>\0\x01\0\0\0",
      24);
  std::string longLine(10 << 20, 'A');
  const struct {
    const char* name;
    std::string path;
    const char* expected;
  } files[] = {
      {"missing", testing::TempDir() + "no/such/file", ": cannot open: No such file or directory"},
      {"directory", dir, ": is a directory, not a file"},  // a folder of dumps for fdb
      {"binary", writeTestFile("binary", binary), ":1: NUL byte in the line"},
      {"10 MB line", writeTestFile("long", longLine + "\n"), ":1: "},
      {"empty", writeTestFile("empty", ""), ": the file is empty"},
  };
  for (const auto& r : readers) {
    for (const auto& f : files) {
      IBFabric fabric;
      std::string err;
      std::string expected = f.expected;
      if (f.path == dir && std::string_view(r.name) == "fdb")
        expected = ": the folder holds no file";
      EXPECT_FALSE(r.read(fabric, f.path, &err)) << r.name << " " << f.name;
      EXPECT_EQ(err.rfind(f.path, 0), 0u) << r.name << " " << f.name << ": " << err;
      EXPECT_NE(err.find(expected), std::string::npos) << r.name << " " << f.name << ": " << err;
      EXPECT_LT(err.size(), 300u) << r.name << " " << f.name;  // no echo of the 10 MB line
    }
  }
}

TEST(Readers, ReportReadErrors) {
  // /proc/self/mem opens but fails to read at offset 0, even for root.
  std::string err;
  IBFabric fabric;
  EXPECT_FALSE(readFdbFile(fabric, "/proc/self/mem", &err));
  EXPECT_NE(err.find("/proc/self/mem: read failed after line 0: "), std::string::npos) << err;
}

TEST(Readers, RejectUnreadableFiles) {
  std::string path = writeTestFile("locked", "x\n");
  ASSERT_EQ(chmod(path.c_str(), 0), 0);
  // Root reads through file modes: check in a child that has given up root.
  EXPECT_EXIT(
      {
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) std::_Exit(2);
        std::string err;
        IBFabric fabric;
        bool refused = !readLstFile(fabric, path, &err) &&
                       err.find(path + ": cannot open: Permission denied") != std::string::npos;
        std::_Exit(refused ? 0 : 1);
      },
      testing::ExitedWithCode(0), "");
}

}  // namespace

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

namespace {

// A host that shows only its port 254, in each topology form: the node has
// that one port, and its port table holds that one entry, not 254.
TEST(Readers, NodeShowingAHighPortStoresThatPortOnly) {
  const char* forms[] = {
      "{ CA Ports:FE SystemGUID:0000000000000010 NodeGUID:0000000000000010 "
      "PortGUID:0000000000000011 VenID:0002C9 DevID:101B Rev:00000000 {h} LID:0002 PN:FE } "
      "{ SW Ports:FE SystemGUID:0000000000000020 NodeGUID:0000000000000020 "
      "PortGUID:0000000000000020 VenID:0002C9 DevID:CF08 Rev:00000000 {s} LID:0001 PN:FE }\n",
      "Switch\t254 \"S-0000000000000020\"\t\t# \"s\" enhanced port 0 lid 1 lmc 0\n"
      "[254]\t\"H-0000000000000010\"[254](11) \t\t# \"h\" lid 2 4xHDR\n\n"
      "Ca\t254 \"H-0000000000000010\"\t\t# \"h\"\n"
      "[254](11) \t\"S-0000000000000020\"[254]\t\t# lid 2 lmc 0 \"s\" lid 1 4xHDR\n",
      "CA     2 254 0x0000000000000011 4x HDR - SW     1 254 0x0000000000000020 ( 'h' - 's' )\n",
  };
  for (const char* text : forms) {
    IBFabric fabric;
    std::string err;
    ASSERT_TRUE(readLstFile(fabric, writeTestFile("high-port", text), &err)) << err;
    for (const char* name : {"h", "s"}) {
      const IBNode* node = fabric.getNode(name);
      ASSERT_NE(node, nullptr) << text;
      ASSERT_NE(node->getPort(254), nullptr) << text;
      EXPECT_EQ(node->getPort(254)->remote->owner->nodeName, name[0] == 'h' ? "s" : "h");
      EXPECT_EQ(node->getPort(253), nullptr);
      EXPECT_EQ(node->portTable.end() - node->portTable.begin(), 1) << text;
    }
  }
}

}  // namespace

namespace {

TEST(Readers, HostLidInTheMulticastRangeIsWarnedAbout) {
  std::string path = writeTestFile(
      "multicast.lst",
      "{ CA Ports:01 SystemGUID:0000000000000010 NodeGUID:0000000000000010 "
      "PortGUID:0000000000000011 VenID:0002C9 DevID:101B Rev:00000000 {h} LID:C000 PN:01 } "
      "{ SW Ports:08 SystemGUID:0000000000000020 NodeGUID:0000000000000020 "
      "PortGUID:0000000000000020 VenID:0002C9 DevID:CF08 Rev:00000000 {s} LID:0001 PN:01 }\n");
  IBFabric fabric;
  testing::internal::CaptureStderr();
  EXPECT_EQ(fabric.parseSubnetLinks(path, nullptr), 0);
  EXPECT_EQ(
      testing::internal::GetCapturedStderr(),
      path + ": warning: 1 LID in the multicast range (0xC000 and up), the first 0xc000 of h/P1\n");
}

}  // namespace

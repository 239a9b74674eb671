// The readers against dumps written by a real subnet manager and the
// standard diagnostics, kept beside the source tree when available.

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <iterator>
#include <string>
#include <vector>

#include "fabric/dumps/readers.h"
#include "fabric/fabric.h"
#include "fabric/routing/route_check.h"
#include "testing/topology_forms.h"

namespace {

namespace fs = std::filesystem;

// The shared dumps sit beside the source tree, or beside the folder that
// holds it (a worktree).
fs::path realDumpsRoot() {
  fs::path source(LINKDEAL_SOURCE_DIR);
  for (const fs::path& root :
       {source / ".." / "shared" / "realdumps", source / ".." / ".." / "shared" / "realdumps"}) {
    std::error_code ec;
    if (fs::is_directory(root, ec)) return root;
  }
  return {};
}

std::vector<fs::path> dumpFolders() {
  std::vector<fs::path> folders;
  fs::path root = realDumpsRoot();
  std::error_code ec;
  if (root.empty()) return folders;
  for (const fs::directory_entry& e : fs::directory_iterator(root, ec)) {
    if (e.is_directory() && fs::exists(e.path() / "opensm-subnet.lst")) folders.push_back(e.path());
  }
  std::sort(folders.begin(), folders.end());
  return folders;
}

const char* const kFdbFiles[] = {"opensm.fdbs", "opensm-lfts.dump", "dump_fts.txt"};

TEST(RealDumps, TopologiesLoadWithTheExpectedShape) {
  std::vector<fs::path> folders = dumpFolders();
  if (folders.empty()) GTEST_SKIP() << "no real dumps beside the source tree";
  for (const fs::path& dir : folders) {
    SCOPED_TRACE(dir.string());
    IBFabric fabric;
    std::string err;
    ASSERT_TRUE(readLstFile(fabric, (dir / "opensm-subnet.lst").string(), &err)) << err;
    size_t hosts = 0, switches = 0, links = 0;
    for (const IBNode& n : fabric.nodes()) {
      if (n.isSwitch()) {
        ++switches;
        EXPECT_NE(n.lid, 0) << n.nodeName;
        for (unsigned p = 1; p <= n.portCount; ++p)
          if (n.getPort(p)) {
            EXPECT_EQ(n.getPort(p)->baseLid, 0) << n.nodeName;
          }
      } else {
        ++hosts;
        EXPECT_NE(n.getPort(1)->baseLid, 0) << n.nodeName;
        EXPECT_EQ(n.nodeName.find(' '), std::string::npos) << n.nodeName;
      }
    }
    for (const IBPort& p : fabric.ports()) {
      if (p.remote) {
        EXPECT_EQ(p.remote->remote, &p) << p.getName();
        ++links;
      }
    }
    // Both folders hold the same fabric: 8 leaves of 8 hosts, 4 spines with
    // 2 cables to every leaf.
    EXPECT_EQ(hosts, 64u);
    EXPECT_EQ(switches, 12u);
    EXPECT_EQ(links / 2, 64u + 8 * 4 * 2);
    EXPECT_NE(fabric.getNode("r01n01_HCA-1"), nullptr);
  }
}

TEST(RealDumps, AllThreeForwardingLayoutsGiveTheSameTables) {
  std::vector<fs::path> folders = dumpFolders();
  if (folders.empty()) GTEST_SKIP() << "no real dumps beside the source tree";
  for (const fs::path& dir : folders) {
    std::vector<IBFabric> fabrics(std::size(kFdbFiles));
    for (size_t i = 0; i < fabrics.size(); ++i) {
      SCOPED_TRACE((dir / kFdbFiles[i]).string());
      std::string err;
      ASSERT_TRUE(readLstFile(fabrics[i], (dir / "opensm-subnet.lst").string(), &err)) << err;
      ASSERT_TRUE(readFdbFile(fabrics[i], (dir / kFdbFiles[i]).string(), &err)) << err;
    }
    const IBFabric& first = fabrics[0];
    size_t entries = 0;
    for (size_t n = 0; n < first.nodes().size(); ++n) {
      const IBNode& sw = first.nodes()[n];
      if (!sw.isSwitch()) continue;
      EXPECT_EQ(sw.filledTables, 1) << sw.nodeName;
      for (size_t i = 1; i < fabrics.size(); ++i) {
        const IBNode& other = fabrics[i].nodes()[n];
        EXPECT_EQ(other.filledTables, 1) << sw.nodeName << " in " << kFdbFiles[i];
        for (unsigned lid = 0; lid < 0x10000; ++lid) {
          uint8_t want = sw.getLFTPortForLid(static_cast<uint16_t>(lid), 0);
          ASSERT_EQ(other.getLFTPortForLid(static_cast<uint16_t>(lid), 0), want)
              << dir.filename() << " " << sw.nodeName << " LID " << lid << ": " << kFdbFiles[0]
              << " against " << kFdbFiles[i];
          if (i == 1 && want != kLftNoEntry) ++entries;
        }
      }
    }
    EXPECT_GT(entries, 12u * 64) << dir;  // every switch forwards at least to every host
  }
}

// Every topology form with every table form the folder has.
TEST(RealDumps, EveryHostReachesEveryOtherHost) {
  std::vector<fs::path> folders = dumpFolders();
  if (folders.empty()) GTEST_SKIP() << "no real dumps beside the source tree";
  for (const fs::path& dir : folders) {
    for (const char* topology : {"opensm-subnet.lst", "ibnetdiscover.txt", "ibnetdiscover-p.txt"}) {
      if (!fs::exists(dir / topology)) continue;
      for (const char* fdb :
           {"opensm.fdbs", "opensm-lfts.dump", "dump_fts.txt", "ibroute-all.txt"}) {
        if (!fs::exists(dir / fdb)) continue;
        SCOPED_TRACE((dir / topology).string() + " with " + fdb);
        IBFabric fabric;
        std::string err;
        ASSERT_TRUE(readLstFile(fabric, (dir / topology).string(), &err)) << err;
        ASSERT_TRUE(readFdbFile(fabric, (dir / fdb).string(), &err)) << err;
        EXPECT_EQ(SubnMgtVerifyAllCaToCaRoutes(fabric, nullptr), 0);
      }
    }
  }
}

TEST(RealDumps, ThreeTopologyFormsGiveTheSameFabric) {
  std::vector<fs::path> folders = dumpFolders();
  if (folders.empty()) GTEST_SKIP() << "no real dumps beside the source tree";
  for (const fs::path& dir : folders) {
    if (!fs::exists(dir / "ibnetdiscover.txt")) continue;
    std::string text[3];
    const char* files[] = {"opensm-subnet.lst", "ibnetdiscover.txt", "ibnetdiscover-p.txt"};
    for (int i = 0; i < 3; ++i) {
      SCOPED_TRACE((dir / files[i]).string());
      IBFabric fabric;
      std::string err;
      ASSERT_TRUE(readLstFile(fabric, (dir / files[i]).string(), &err)) << err;
      text[i] = topologyText(fabric);
      EXPECT_NE(text[i].find("r01n01_HCA-1 type 1 ports 1 lid 0"), std::string::npos);
      EXPECT_NE(text[i].find(" 4x50000\n"), std::string::npos);
    }
    EXPECT_EQ(text[1], text[0]) << dir;
    EXPECT_EQ(text[2], text[0]) << dir;
  }
}

// Dumps of production clusters, collected from a host of the fabric: the
// discovery diagnostic's ports report and a folder of per-switch table dumps.
// One set is damaged (its LID column repeats one LID for different
// destinations) and must be refused, naming the file and line.
TEST(RealDumps, ClusterDumpsLoadOrAreRefusedAsCollected) {
  fs::path root = realDumpsRoot();
  if (root.empty() || !fs::is_directory(root / "cluster-plafrim"))
    GTEST_SKIP() << "no cluster dumps beside the source tree";
  const struct {
    const char* folder;
    const char* subnet;
    size_t hosts;
    const char* error;  // part of the message; null: loads, every route complete
  } cases[] = {
      {"cluster-plafrim", "fe80-0000-0000-0000", 125, nullptr},
      {"cluster-plafrim2", "fe80-0000-0000-0001", 23, nullptr},
      {"cluster-plafrim2", "fe80-0000-0000-0000", 96, ": LID 0x003f listed twice in this section"},
  };
  for (const auto& c : cases) {
    fs::path dir = root / c.folder;
    std::string topology = (dir / ("ib-subnet-" + std::string(c.subnet) + ".txt")).string();
    std::string tables = (dir / ("ibroutes-" + std::string(c.subnet))).string();
    SCOPED_TRACE(topology);
    IBFabric fabric;
    std::string err;
    ASSERT_TRUE(readLstFile(fabric, topology, &err)) << err;
    size_t hosts = 0;
    for (const IBNode& n : fabric.nodes()) hosts += !n.isSwitch();
    EXPECT_EQ(hosts, c.hosts);
    std::vector<std::string> warnings;
    bool loaded = readFdbFile(fabric, tables, &err, &warnings);
    EXPECT_TRUE(warnings.empty()) << warnings.front();
    if (!c.error) {
      ASSERT_TRUE(loaded) << err;
      testing::internal::CaptureStderr();
      EXPECT_EQ(SubnMgtVerifyAllCaToCaRoutes(fabric, nullptr), 0);
      EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
      continue;
    }
    EXPECT_FALSE(loaded);
    // "FOLDER/FILE:LINE: problem"
    EXPECT_EQ(err.rfind(tables + "/ibroute-", 0), 0u) << err;
    size_t colon = err.find(':');
    EXPECT_TRUE(colon != std::string::npos &&
                std::isdigit(static_cast<unsigned char>(err[colon + 1])))
        << err;
    EXPECT_NE(err.find(c.error), std::string::npos) << err;
  }
}

}  // namespace

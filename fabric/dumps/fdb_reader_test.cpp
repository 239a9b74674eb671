#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "fabric/dumps/readers.h"
#include "fabric/fabric.h"
#include "fabric/routing/route_check.h"
#include "testing/generated_fabric.h"
#include "testing/reader_test_fabric.h"
#include "testing/test_files.h"

namespace {

// Loads the topology, then the PLFT text (when given), then the FDB text.
void load(Loaded* l, const std::string& fdb, const std::string& plft = "") {
  if (!loadTopology(l)) return;
  std::string err;
  if (!plft.empty()) {
    ASSERT_TRUE(readPlftFile(l->fabric, writeTestFile("fabric.plft", plft), &err)) << err;
  }
  l->ok = readFdbFile(l->fabric, writeTestFile("fabric.fdbs", fdb), &l->err);
}

struct Entry {
  IBNode* sw;
  uint16_t lid;
  uint8_t table;
  uint8_t port;
};

void expectEntries(const std::vector<Entry>& entries) {
  for (const Entry& e : entries) {
    EXPECT_EQ(e.sw->getLFTPortForLid(e.lid, e.table), e.port)
        << e.sw->nodeName << " lid " << e.lid << " table " << int{e.table};
  }
}

TEST(FdbReader, RoutingDumpLayout) {
  Loaded l;
  load(&l,
       "# routes\r\n"
       "dump_ucast_routes: Switch 0x00000000000000A1\r\n"
       "LID    : Port : Hops : Optimal\r\n"
       "0x0001 : 000  : 00   : yes\r\n"
       "0x0002 : UNREACHABLE\r\n"
       "0x0003 : 002  : 01   : yes   \r\n"
       "0x0010 : 001  : 04   : No 2 hop path possible via port 13!\r\n"
       "0x00a0 : 036  : HOPS UNKNOWN\r\n"
       "0x00a1 : 255  : 00   : yes\r\n"
       "\n"
       "0x00Ab : 36");  // no final newline, mixed-case hex, no tail
  ASSERT_TRUE(l.ok) << l.err;
  expectEntries({{l.sw1, 1, 0, 0},
                 {l.sw1, 2, 0, kLftNoEntry},
                 {l.sw1, 3, 0, 2},
                 {l.sw1, 4, 0, kLftNoEntry},
                 {l.sw1, 0x10, 0, 1},
                 {l.sw1, 0xa0, 0, 36},
                 {l.sw1, 0xa1, 0, kLftNoEntry},
                 {l.sw1, 0xab, 0, 36},
                 {l.sw1, 0xac, 0, kLftNoEntry}});
  EXPECT_EQ(l.sw1->filledTables, 1);
  EXPECT_EQ(l.sw1->lft(0).size(), 0xacu);  // exactly up to the last LID listed
  EXPECT_EQ(l.sw2->filledTables, 0);
  EXPECT_TRUE(l.sw2->lft(0).empty());
}

TEST(FdbReader, LftDumpLayoutAndMixedSections) {
  Loaded n;
  load(&n,
       "Unicast lids [0x0-0x14] of switch DR path slid 0; dlid 0; 0,2 guid 0xa2 (sw2):\n"
       "  Lid  Out   Destination\n"
       "       Port     Info \n"
       "0x0001 002 : (Switch portguid 0x00000000000000a1: 'sw1')\n"
       "0x0002 000 : (Switch portguid 0x00000000000000a2: 'sw2')\n"
       "0x0010 002 # Channel Adapter portguid 0x00000000000000b2: 'h1'\n"
       "0x0011 001 : (path #2 out of 4: Channel Adapter portguid 0xb2: 'h1')\n"
       "3 valid lids dumped \n"
       "dump_ucast_routes: Switch 0x00000000000000a1\n"
       "0x0010 : 001  : 01   : yes\n"
       "dump_ucast_routes: Switch 0x00000000000000a1 PLFT 1\n"
       "0x0010 : 003  : 01   : yes\n",
       "Switch 0xa1\n2 : 1\n");
  ASSERT_TRUE(n.ok) << n.err;
  expectEntries({{n.sw2, 1, 0, 2},
                 {n.sw2, 2, 0, 0},
                 {n.sw2, 0x10, 0, 2},
                 {n.sw2, 0x11, 0, 1},
                 {n.sw1, 0x10, 0, 1},
                 {n.sw1, 0x10, 1, 3},
                 {n.sw1, 0x10, 2, kLftNoEntry}});
  EXPECT_EQ(n.sw1->filledTables, 0b11);
  EXPECT_EQ(n.sw2->filledTables, 0b1);
}

struct BadCase {
  const char* name;
  std::string text;
  const char* expected;  // substring of the message
};

TEST(FdbReader, RejectsBadLinesNamingFileAndLine) {
  const std::string a1 = "dump_ucast_routes: Switch 0x00000000000000a1\n";
  const std::string b2 = "Unicast lids [0-3] of switch Lid 2 guid 0x00000000000000a2 (sw2):\n";
  const BadCase cases[] = {
      {"row before header", "# x\n0x0001 : 001\n", "fabric.fdbs:2: row before any switch header"},
      {"unknown switch", "Switch 0x77\n", "fabric.fdbs:1: no node with GUID 0x0000000000000077"},
      {"host is not a switch", "Switch 0xb1\n",
       "fabric.fdbs:1: node 0x00000000000000b1 (h1) is not a switch"},
      {"unknown switch, layout B", "Unicast lids [0-3] guid 0x78 x\n",
       "fabric.fdbs:1: no node with GUID 0x0000000000000078"},
      {"no guid in layout B header", "Unicast lids [0-3] of switch Lid 2\n",
       "fabric.fdbs:1: no ' guid 0x<GUID>' in the 'Unicast lids' header"},
      {"guid too large", "Switch 0x10000000000000000\n",
       "fabric.fdbs:1: switch GUID too large for 64 bits"},
      {"text after guid", "Switch 0xa1 extra\n",
       "fabric.fdbs:1: unexpected text after the switch GUID"},
      {"lid twice", a1 + "0x0001 : 001\n0x01 : 002\n",
       "fabric.fdbs:3: LID 0x01 listed twice in this section"},
      {"unreachable twice", a1 + "0x0001 : UNREACHABLE\n0x0001 : UNREACHABLE\n",
       "fabric.fdbs:3: LID 0x0001 listed twice"},
      {"second section", a1 + "0x0001 : 001\n" + a1,
       "fabric.fdbs:3: second section for switch 0x00000000000000a1 (sw1) table 0"},
      {"second section across layouts", b2 + "Switch 0xa2 PLFT 0\n",
       "fabric.fdbs:2: second section for switch 0x00000000000000a2"},
      {"port above count", b2 + "0x0001 009 : x\n",
       "fabric.fdbs:2: egress port 009 is above the switch's 8 ports"},
      {"port above 255", a1 + "0x0001 : 256\n",
       "fabric.fdbs:2: egress port 256 is above the switch's 36 ports"},
      {"lid too large", a1 + "0x10000 : 001\n",
       "fabric.fdbs:2: LID 0x10000 is too large for 16 bits"},
      {"lid without digits", a1 + "0xg : 001\n", "fabric.fdbs:2: LID: hexadecimal number expected"},
      {"layout B row in layout A", a1 + "0x0001 001 : x\n",
       "fabric.fdbs:2: expected ' : ' after the LID"},
      {"layout A row in layout B", b2 + "0x0001 : 001\n",
       "fabric.fdbs:2: expected the egress port (decimal)"},
      {"neither port nor unreachable", a1 + "0x0001 : UNREACHABLEX\n",
       "fabric.fdbs:2: expected an egress port or UNREACHABLE"},
      {"row without port", a1 + "0x0001\n", "fabric.fdbs:2: expected ' : ' after the LID"},
      {"hex port", a1 + "0x0001 : 0x01\n",
       "fabric.fdbs:2: egress port '0x01': a decimal number followed by a blank expected"},
      {"port with a fraction", b2 + "0x0001 1.9 : x\n", "fabric.fdbs:2: egress port '1.9'"},
      {"port run into text", b2 + "0x0001 002abc\n", "fabric.fdbs:2: egress port '002abc'"},
      {"two ports in the port column", a1 + "0x0001 : 001 002 : 01 : yes\n",
       "fabric.fdbs:2: egress port '001'"},
      {"huge LID echoed in part", a1 + "0x" + std::string(5000, 'f') + " : 001\n",
       "fabric.fdbs:2: LID 0xffff"},
      {"plft table without private map", "Switch 0xa1 PLFT 1\n",
       "fabric.fdbs:1: switch 0x00000000000000a1 (sw1) has no ingress port mapped to table 1"},
      {"plft table above 15", "Switch 0xa1 PLFT 16\n",
       "fabric.fdbs:1: table number 16 is above 15"},
      {"plft without number", "Switch 0xa1 PLFT x\n",
       "fabric.fdbs:1: table number expected after 'PLFT '"},
      {"unrecognised", a1 + "0x0001 : 001\nhello\n", "fabric.fdbs:3: unrecognised line"},
      {"no section", "# only\n\n12 lids dumped\n", "fabric.fdbs: no switch section found"},
      {"empty", "", "fabric.fdbs: the file is empty"},
      {"truncated", a1 + "0x0001 : 001\n0x00",
       "fabric.fdbs:3: expected ' : ' after the LID (the file ends inside"},
  };
  for (const BadCase& c : cases) {
    Loaded l;
    load(&l, c.text);
    EXPECT_FALSE(l.ok) << c.name;
    EXPECT_NE(l.err.find(c.expected), std::string::npos) << c.name << ": " << l.err;
    EXPECT_LT(l.err.size(), 400u) << c.name;  // echoed fields are cut short
    EXPECT_TRUE(l.sw1->lfts.empty() && l.sw2->lfts.empty()) << c.name;  // none half read
  }
}

// A table read that failed part way: the diagnostic's "iberror:" line is a
// warning, the rows around it are read, and the route check reports the LID
// that the failed read left out.
TEST(FdbReader, IberrorLinesAreWarningsAndTheRouteCheckSeesTheGap) {
  const std::string topology =
      "{ CA Ports:01 SystemGUID:b1 NodeGUID:b1 PortGUID:b1 VenID:0 DevID:0 Rev:0 {h1} LID:0010 "
      "PN:01 } { SW Ports:08 SystemGUID:a1 NodeGUID:a1 PortGUID:a1 VenID:0 DevID:0 Rev:0 {sw1} "
      "LID:0001 PN:01 }\n"
      "{ CA Ports:01 SystemGUID:b2 NodeGUID:b2 PortGUID:b2 VenID:0 DevID:0 Rev:0 {h2} LID:0011 "
      "PN:01 } { SW Ports:08 SystemGUID:a1 NodeGUID:a1 PortGUID:a1 VenID:0 DevID:0 Rev:0 {sw1} "
      "LID:0001 PN:02 }\n";
  IBFabric fabric;
  std::string err;
  ASSERT_TRUE(readLstFile(fabric, writeTestFile("fabric.lst", topology), &err)) << err;
  std::string fdb = writeTestFile(
      "fabric.fdbs",
      "Unicast lids [0x0-0x11] of switch Lid 1 guid 0xa1 (sw1):\n"
      "0x0010 001 : (Channel Adapter portguid 0xb1: 'h1')\n"
      "/usr/sbin/ibroute: iberror: failed: dump tables: linear forwarding table get failed\n"
      "0x0001 000 : (Switch portguid 0xa1: 'sw1')\n");
  std::vector<std::string> warnings;
  ASSERT_TRUE(readFdbFile(fabric, fdb, &err, &warnings)) << err;
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_EQ(warnings[0].rfind(fdb + ":3: warning: ", 0), 0u) << warnings[0];
  EXPECT_EQ(fabric.getNode("sw1")->getLFTPortForLid(1, 0), 0);
  EXPECT_EQ(fabric.getNode("sw1")->getLFTPortForLid(0x11, 0), kLftNoEntry);
  testing::internal::CaptureStderr();
  EXPECT_NE(SubnMgtVerifyAllCaToCaRoutes(fabric, nullptr), 0);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("h2/P1"), std::string::npos);
}

// A folder is read file by file in name order as one dump; each file ends its
// section, and errors and warnings name the inner file and line.
TEST(FdbReader, FolderOfDumpsReadsInNameOrder) {
  const std::string sw1 = "dump_ucast_routes: Switch 0xa1\n0x0010 : 001\n";
  const std::string sw2 = "Unicast lids [0-3] of switch Lid 2 guid 0xa2 (sw2):\n0x0010 002\n";
  auto folder = [](const std::string& tag,
                   const std::vector<std::pair<std::string, std::string>>& files) {
    std::string dir = makeTestDir(tag);
    for (const auto& [name, text] : files) {
      FILE* f = std::fopen((dir + "/" + name).c_str(), "wb");
      std::fputs(text.c_str(), f);
      std::fclose(f);
    }
    std::filesystem::create_directory(dir + "/sub");  // not a file: passed over
    return dir;
  };
  {
    Loaded l;
    ASSERT_TRUE(loadTopology(&l));
    std::string dir = folder("good", {{"b", sw2}, {"a", sw1 + "x iberror: failed\n"}, {"c", ""}});
    std::vector<std::string> warnings;
    ASSERT_TRUE(readFdbFile(l.fabric, dir, &l.err, &warnings)) << l.err;
    expectEntries({{l.sw1, 0x10, 0, 1}, {l.sw2, 0x10, 0, 2}});
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_EQ(warnings[0].rfind(dir + "/a:3: warning: ", 0), 0u) << warnings[0];
  }
  const BadCase cases[] = {
      {"second section in a later file", sw1, "/b:1: second section for switch"},
      {"a section ends with its file", "0x0011 : 001\n", "/b:1: row before any switch header"},
      {"error in the later file", sw2 + "0x0012 099\n", "/b:3: egress port 099 is above"},
  };
  for (const BadCase& c : cases) {
    Loaded l;
    ASSERT_TRUE(loadTopology(&l));
    std::string dir = folder(c.name, {{"a", sw1}, {"b", c.text}});
    EXPECT_FALSE(readFdbFile(l.fabric, dir, &l.err)) << c.name;
    EXPECT_NE(l.err.find(dir + c.expected), std::string::npos) << c.name << ": " << l.err;
  }
  Loaded l;
  ASSERT_TRUE(loadTopology(&l));
  std::string empty = folder("empty", {});
  EXPECT_FALSE(readFdbFile(l.fabric, empty, &l.err));
  EXPECT_EQ(l.err, empty + ": the folder holds no file");
}

// Random tables written in both layouts (random spacing, case, tails and
// section order) must read back exactly.
TEST(FdbReader, RandomTablesRoundTripInBothLayouts) {
  std::mt19937 rng(12345);
  for (int round = 0; round < 20; ++round) {
    // truth[s][lid]: -1 no row, -2 UNREACHABLE, else the port.
    std::vector<std::vector<int>> truth(2, std::vector<int>(300, -1));
    const int portCounts[2] = {36, 8};
    for (int s = 0; s < 2; ++s) {
      for (int lid = 0; lid < 300; ++lid) {
        int pick = static_cast<int>(rng() % 10);
        if (pick < 3) continue;
        if (pick == 3) {
          truth[s][lid] = -2;
        } else if (pick == 4) {
          truth[s][lid] = 255;
        } else {
          truth[s][lid] = static_cast<int>(rng() % (portCounts[s] + 1));
        }
      }
    }
    std::string text;
    const char* guids[2] = {"a1", "A2"};
    for (int k = 0; k < 2; ++k) {
      int s = (round + k) % 2;
      bool layoutA = (rng() % 2) == 0;
      if (layoutA) {
        text += std::string("dump_ucast_routes: Switch 0x") + guids[s] +
                "\nLID    : Port : Hops : Optimal\n";
      } else {
        text +=
            std::string("Unicast lids [0-300] of switch Lid 1 guid 0x00") + guids[s] + " (x):\n";
      }
      std::vector<int> order(300);
      for (int i = 0; i < 300; ++i) order[i] = i;
      std::shuffle(order.begin(), order.end(), rng);
      for (int lid : order) {
        int v = truth[s][lid];
        if (v == -1 || (v == -2 && !layoutA)) continue;
        char row[96];
        const char* fmt = rng() % 2 ? "0x%04x" : "0x%X";
        int n = std::snprintf(row, sizeof row, fmt, lid);
        if (v == -2) {
          std::snprintf(row + n, sizeof row - n, " : UNREACHABLE\n");
        } else if (layoutA) {
          std::snprintf(row + n, sizeof row - n, " : %03d  : 02   : yes\n", v);
        } else {
          std::snprintf(row + n, sizeof row - n, "%s%d : (Switch portguid 0x1: 'x')\n",
                        rng() % 2 ? " " : "   ", v);
        }
        text += row;
      }
      if (!layoutA) text += "7 valid lids dumped\n";
    }
    Loaded l;
    load(&l, text);
    ASSERT_TRUE(l.ok) << "round " << round << ": " << l.err;
    IBNode* sws[2] = {l.sw1, l.sw2};
    for (int s = 0; s < 2; ++s) {
      for (int lid = 0; lid < 300; ++lid) {
        int v = truth[s][lid] < 0 ? kLftNoEntry : truth[s][lid];
        ASSERT_EQ(sws[s]->getLFTPortForLid(static_cast<uint16_t>(lid), 0), v)
            << "round " << round << " switch " << s << " lid " << lid;
      }
    }
  }
}

}  // namespace

// What loading a generated fabric's dump gave.
struct Outcome {
  bool ok = false;
  std::string err;
  std::vector<std::string> warnings;
  std::vector<std::vector<std::vector<uint8_t>>> lfts;  // per node
  std::vector<uint16_t> filled;
  size_t pieces = 0;

  bool operator==(const Outcome& o) const {
    return ok == o.ok && err == o.err && warnings == o.warnings && lfts == o.lfts &&
           filled == o.filled;
  }
};

Outcome loadWith(const std::string& dir, const std::string& fdb, unsigned threads,
                 uint64_t pieceBytes) {
  IBFabric fabric;
  Outcome out;
  std::string err;
  EXPECT_TRUE(readLstFile(fabric, dir + "/fabric.lst", &err)) << err;
  EXPECT_TRUE(readPlftFile(fabric, dir + "/fabric.plft", &err)) << err;
  out.ok = readFdbFile(fabric, fdb, &out.err, &out.warnings, {threads, pieceBytes, &out.pieces});
  for (const IBNode& n : fabric.nodes()) {
    out.lfts.push_back(n.lfts);
    out.filled.push_back(n.filledTables);
  }
  return out;
}

// Reading in pieces on several threads gives what one thread gives: the
// tables, and for damaged dumps the first error and the warnings before it,
// with the same lines. Pieces of a few KB make hundreds of cuts.
TEST(FdbReader, PiecesOnManyThreadsReadAsOneThread) {
  GenOptions options;
  options.radix = 32;
  options.lmc = 1;
  options.privateTables = true;
  IBFabric generated = generatedFabric(options);
  std::string err;
  std::mt19937 rng(2024);
  for (char layout : {'A', 'B'}) {
    std::string dir = makeTestDir(std::string(1, layout));
    ASSERT_TRUE(writeFabricFiles(generated, dir, layout, &err)) << err;
    std::string text = readTestFile(dir + "/fabric.fdbs");
    // Damage: a warning line, a repeated section header, a bad row, a NUL,
    // a bare carriage return, an unrecognised line, a cut last line.
    const std::string header = text.substr(0, text.find('\n') + 1);
    const std::string damage[] = {"x: iberror: failed\n", header,           "0x0002 : 099\n",
                                  "0x00\0001 2\n",        "0x0001\r 001\n", "hello\n"};
    for (int round = 0; round < 16; ++round) {
      std::string bad = text;
      // Odd rounds: warnings only; even rounds: errors and a warning.
      for (int k = round == 0 ? 0 : 2 + static_cast<int>(rng() % 3); k > 0; --k) {
        size_t at = bad.find('\n', rng() % bad.size()) + 1;
        if (at == 0) at = bad.size();
        const std::string& d = damage[round % 2 || k == 1 ? 0 : rng() % std::size(damage)];
        bad.insert(at, d);
      }
      if (round % 5 == 4) bad.pop_back();
      std::string fdb = writeTestFile(std::string(1, layout) + std::to_string(round), bad);
      Outcome one = loadWith(dir, fdb, 1, 0);
      EXPECT_EQ(one.pieces, 1u);
      if (round == 0) {
        EXPECT_TRUE(one.ok) << one.err;
      }
      for (unsigned threads : {2u, 3u, 7u}) {
        Outcome many = loadWith(dir, fdb, threads, 4096);
        EXPECT_GT(many.pieces, 20u);
        EXPECT_TRUE(many == one) << layout << " round " << round << " threads " << threads << ": "
                                 << many.err << " / " << one.err;
      }
      if (round % 2 == 1) {
        // The same dump as a folder of two files, cut at a section header.
        size_t cut = bad.find(layout == 'A' ? "\ndump_ucast" : "\nUnicast", bad.size() / 2) + 1;
        std::string folder = makeTestDir(std::string(1, layout) + "dir" + std::to_string(round));
        writeTestFile(std::string(1, layout) + "dir" + std::to_string(round) + "/1",
                      bad.substr(0, cut));
        writeTestFile(std::string(1, layout) + "dir" + std::to_string(round) + "/2",
                      bad.substr(cut));
        Outcome many = loadWith(dir, folder, 3, 4096);
        EXPECT_GT(many.pieces, 20u);
        EXPECT_TRUE(many == loadWith(dir, folder, 1, 0)) << layout << " folder, round " << round;
      }
    }
  }
}

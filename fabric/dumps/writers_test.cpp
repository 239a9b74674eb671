#include "fabric/dumps/writers.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "fabric/dumps/readers.h"
#include "testing/test_files.h"

namespace {

// Two hosts on two switches cabled together; port 3 of sw1 is free. The hosts
// own two LIDs each (4-5 and 6-7); sw1 routes what enters from its host with
// a second table.
void buildSmall(IBFabric& f, std::string hostDescription = "h1 HCA-1") {
  std::vector<NodeDecl> decls = {
      {IB_CA_NODE, "h1", hostDescription, 0x0002c90300000100, 0x0002c90300000100, 1, 0},
      {IB_CA_NODE, "h2_HCA-1", "h2 HCA-1", 0x0002c90300000200, 0x0002c90300000200, 1, 0},
      {IB_SW_NODE, "sw1", "MF0;sw1:MQM8700/U1", 0x0c42a10300000a00, 0x0c42a10300000a00, 3, 1},
      {IB_SW_NODE, "sw2", "MF0;sw2:MQM8700/U1", 0x0c42a10300000b00, 0x0c42a10300000b00, 3, 2},
  };
  ASSERT_EQ(f.createNodes(decls), 0);
  IBNode* h1 = f.getNode("h1");
  IBNode* h2 = f.getNode("h2_HCA-1");
  IBNode* sw1 = f.getNode("sw1");
  IBNode* sw2 = f.getNode("sw2");
  h1->portTable[1]->guid = 0x0002c90300000101;
  h1->portTable[1]->baseLid = 4;
  h2->portTable[1]->guid = 0x0002c90300000201;
  h2->portTable[1]->baseLid = 6;
  for (IBNode* sw : {sw1, sw2})
    for (unsigned p = 1; p <= 3; ++p) sw->portTable[p]->guid = sw->nodeGuid;
  IBFabric::link(h1->portTable[1], sw1->portTable[1]);
  IBFabric::link(h2->portTable[1], sw2->portTable[1]);
  IBFabric::link(sw1->portTable[2], sw2->portTable[2]);
  for (IBPort& p : f.ports()) {
    p.width = p.remote ? 4 : 0;
    p.speed = p.remote ? 50000 : 0;
  }
  const uint8_t sw1Ports[] = {0, 2, 255, 1, 1, 2, 2};  // LIDs 1..7
  const uint8_t sw2Ports[] = {2, 0, 255, 2, 2, 1, 1};
  for (uint16_t lid = 1; lid <= 7; ++lid) {
    sw1->setLFTPortForLid(lid, sw1Ports[lid - 1], 0);
    sw2->setLFTPortForLid(lid, sw2Ports[lid - 1], 0);
  }
  sw1->setLFTPortForLid(6, 2, 1);
  sw1->setLFTPortForLid(2, 2, 1);
  sw1->ingressTable = {0, 1, 0, 0};
  sw1->filledTables = 3;
  sw2->filledTables = 1;
}

TEST(Writers, TopologyLinesFromBothEnds) {
  IBFabric f;
  buildSmall(f);
  std::string path = writeTestFile("out.lst", "");
  std::string err;
  ASSERT_TRUE(writeLstFile(f, path, &err)) << err;
  const std::string h1 =
      "CA Ports:01 SystemGUID:0002c90300000100 NodeGUID:0002c90300000100 "
      "PortGUID:0002c90300000101 VenID:";
  const std::string sw1 =
      "SW Ports:03 SystemGUID:0c42a10300000a00 NodeGUID:0c42a10300000a00 "
      "PortGUID:0c42a10300000a00 VenID:";
  const std::string sw2 =
      "SW Ports:03 SystemGUID:0c42a10300000b00 NodeGUID:0c42a10300000b00 "
      "PortGUID:0c42a10300000b00 VenID:";
  const std::string h2 =
      "CA Ports:01 SystemGUID:0002c90300000200 NodeGUID:0002c90300000200 "
      "PortGUID:0002c90300000201 VenID:";
  const std::string nearCa = "0002C9 DevID:101B Rev:000000A1 ";
  const std::string farCa = "000002C9 DevID:101B0000 Rev:000000A1 ";
  const std::string nearSw = "0002C9 DevID:CF08 Rev:000000A1 ";
  const std::string farSw = "000002C9 DevID:CF080000 Rev:000000A1 ";
  const std::string tail = " PHY=4x LOG=ACT SPD=50\n";
  std::string want =
      "{ " + h1 + nearCa + "{h1 HCA-1} LID:0004 PN:01 } { " + sw1 + farSw +
      "{MF0;sw1:MQM8700/U1} LID:0001 PN:01 }" + tail +                                  //
      "{ " + h2 + nearCa + "{h2 HCA-1} LID:0006 PN:01 } { " + sw2 + farSw +             //
      "{MF0;sw2:MQM8700/U1} LID:0002 PN:01 }" + tail +                                  //
      "{ " + sw1 + nearSw + "{MF0;sw1:MQM8700/U1} LID:0001 PN:01 } { " + h1 + farCa +   //
      "{h1 HCA-1} LID:0004 PN:01 }" + tail +                                            //
      "{ " + sw1 + nearSw + "{MF0;sw1:MQM8700/U1} LID:0001 PN:02 } { " + sw2 + farSw +  //
      "{MF0;sw2:MQM8700/U1} LID:0002 PN:02 }" + tail +                                  //
      "{ " + sw2 + nearSw + "{MF0;sw2:MQM8700/U1} LID:0002 PN:01 } { " + h2 + farCa +   //
      "{h2 HCA-1} LID:0006 PN:01 }" + tail +                                            //
      "{ " + sw2 + nearSw + "{MF0;sw2:MQM8700/U1} LID:0002 PN:02 } { " + sw1 + farSw +  //
      "{MF0;sw1:MQM8700/U1} LID:0001 PN:02 }" + tail;
  EXPECT_EQ(readTestFile(path), want);
}

TEST(Writers, RoutingDumpLayoutA) {
  IBFabric f;
  buildSmall(f);
  std::string path = writeTestFile("out.fdbs", "");
  std::string err;
  ASSERT_TRUE(writeFdbFile(f, path, 'A', &err)) << err;
  // Hops: fewest links to the LID's switch, plus one for a host.
  EXPECT_EQ(readTestFile(path),
            "dump_ucast_routes: Switch 0x0c42a10300000a00\n"
            "LID    : Port : Hops : Optimal\n"
            "0x0001 : 000  : 00   : yes\n"
            "0x0002 : 002  : 01   : yes\n"
            "0x0003 : UNREACHABLE\n"
            "0x0004 : 001  : 01   : yes\n"
            "0x0005 : 001  : 01   : yes\n"
            "0x0006 : 002  : 02   : yes\n"
            "0x0007 : 002  : 02   : yes\n"
            "dump_ucast_routes: Switch 0x0c42a10300000a00 PLFT 1\n"
            "LID    : Port : Hops : Optimal\n"
            "0x0001 : UNREACHABLE\n"
            "0x0002 : 002  : 01   : yes\n"
            "0x0003 : UNREACHABLE\n"
            "0x0004 : UNREACHABLE\n"
            "0x0005 : UNREACHABLE\n"
            "0x0006 : 002  : 02   : yes\n"
            "0x0007 : UNREACHABLE\n"
            "dump_ucast_routes: Switch 0x0c42a10300000b00\n"
            "LID    : Port : Hops : Optimal\n"
            "0x0001 : 002  : 01   : yes\n"
            "0x0002 : 000  : 00   : yes\n"
            "0x0003 : UNREACHABLE\n"
            "0x0004 : 002  : 02   : yes\n"
            "0x0005 : 002  : 02   : yes\n"
            "0x0006 : 001  : 01   : yes\n"
            "0x0007 : 001  : 01   : yes\n");
}

TEST(Writers, LftDumpLayoutBKeepsPrivateTablesInLayoutA) {
  IBFabric f;
  buildSmall(f);
  std::string path = writeTestFile("out.fdbs", "");
  std::string err;
  ASSERT_TRUE(writeFdbFile(f, path, 'B', &err)) << err;
  std::string text = readTestFile(path);
  const std::string sw2 =
      "Unicast lids [0x0-0x7] of switch Lid 2 guid 0x0c42a10300000b00 (MF0;sw2:MQM8700/U1):\n"
      "  Lid  Out   Destination\n"
      "       Port     Info \n"
      "0x0001 002 : (Switch portguid 0x0c42a10300000a00: 'MF0;sw1:MQM8700/U1')\n"
      "0x0002 000 : (Switch portguid 0x0c42a10300000b00: 'MF0;sw2:MQM8700/U1')\n"
      "0x0004 002 : (Channel Adapter portguid 0x0002c90300000101: 'h1 HCA-1')\n"
      "0x0005 002 : (path #2 out of 2: portguid 0x0002c90300000101)\n"
      "0x0006 001 : (Channel Adapter portguid 0x0002c90300000201: 'h2 HCA-1')\n"
      "0x0007 001 : (path #2 out of 2: portguid 0x0002c90300000201)\n"
      "6 valid lids dumped \n";
  ASSERT_GE(text.size(), sw2.size());
  EXPECT_EQ(text.substr(text.size() - sw2.size()), sw2);
  EXPECT_EQ(text.find("Unicast lids [0x0-0x7] of switch Lid 1 guid 0x0c42a10300000a00"), 0u);
  EXPECT_NE(text.find("dump_ucast_routes: Switch 0x0c42a10300000a00 PLFT 1\n"
                      "LID    : Port : Hops : Optimal\n"
                      "0x0001 : UNREACHABLE\n"
                      "0x0002 : 002  : 01   : yes\n"),
            std::string::npos);
}

TEST(Writers, PrivateTableMap) {
  IBFabric f;
  buildSmall(f);
  std::string path = writeTestFile("out.plft", "");
  std::string err;
  ASSERT_TRUE(writePlftFile(f, path, &err)) << err;
  EXPECT_EQ(readTestFile(path),
            "dump_plft: Switch 0x0c42a10300000a00\n"
            "Port : PLFT\n"
            "001 : 1\n"
            "002 : 0\n"
            "003 : 0\n");
}

TEST(Writers, ReadBackGivesTheSameFabric) {
  IBFabric f;
  buildSmall(f);
  for (char layout : {'A', 'B'}) {
    std::string lst = writeTestFile("rt.lst", "");
    std::string plft = writeTestFile("rt.plft", "");
    std::string fdbs = writeTestFile(std::string("rt.fdbs.") + layout, "");
    std::string err;
    ASSERT_TRUE(writeLstFile(f, lst, &err) && writePlftFile(f, plft, &err) &&
                writeFdbFile(f, fdbs, layout, &err))
        << err;
    IBFabric g;
    ASSERT_TRUE(readLstFile(g, lst, &err)) << layout << ": " << err;
    ASSERT_TRUE(readPlftFile(g, plft, &err)) << layout << ": " << err;
    ASSERT_TRUE(readFdbFile(g, fdbs, &err)) << layout << ": " << err;
    // h1's description gives the reader's name h1_HCA-1.
    const IBNode* h1 = g.getNode("h1_HCA-1");
    const IBNode* sw1 = g.getNode("MF0;sw1:MQM8700/U1");
    const IBNode* sw2 = g.getNode("MF0;sw2:MQM8700/U1");
    ASSERT_TRUE(h1 && sw1 && sw2) << layout;
    EXPECT_EQ(h1->portTable[1]->baseLid, 4) << layout;
    EXPECT_EQ(h1->portTable[1]->guid, 0x0002c90300000101u) << layout;
    EXPECT_EQ(h1->portTable[1]->remote, sw1->portTable[1]) << layout;
    EXPECT_EQ(sw1->portTable[2]->remote, sw2->portTable[2]) << layout;
    EXPECT_EQ(sw1->getPort(3), nullptr) << layout;  // unlinked: no line shows it
    EXPECT_EQ(sw2->lid, 2) << layout;
    EXPECT_EQ(sw1->tableForIngress(1), 1) << layout;
    EXPECT_EQ(h1->portTable[1]->width, 4) << layout;
    EXPECT_EQ(sw1->portTable[2]->speed, 50000u) << layout;
    const IBNode* orig[] = {f.getNode("sw1"), f.getNode("sw2")};
    const IBNode* read[] = {sw1, sw2};
    for (int s = 0; s < 2; ++s)
      for (uint8_t t = 0; t < 2; ++t)
        for (uint16_t lid = 0; lid <= 8; ++lid)
          EXPECT_EQ(read[s]->getLFTPortForLid(lid, t), orig[s]->getLFTPortForLid(lid, t))
              << layout << " switch " << s << " table " << int(t) << " LID " << lid;
  }
}

TEST(Writers, RefusesWhatCannotBeReadBack) {
  struct Bad {
    const char* name;
    void (*spoil)(IBFabric&);
    const char* error;
  };
  const Bad bad[] = {
      {"port above count", [](IBFabric& f) { f.getNode("sw2")->setLFTPortForLid(3, 9, 0); },
       "sends LID 3 to port 9, above its 3 ports"},
      {"unused table", [](IBFabric& f) { f.getNode("sw2")->setLFTPortForLid(1, 1, 2); },
       "table 2 is used by none of its ports"},
      {"table number 16", [](IBFabric& f) { f.getNode("sw1")->ingressTable[2] = 16; },
       "port 2 maps to table 16"},
  };
  for (const Bad& c : bad) {
    IBFabric f;
    buildSmall(f);
    c.spoil(f);
    std::string path = writeTestFile("bad", "");
    std::string err;
    bool ok = writeFdbFile(f, path, 'A', &err) && writePlftFile(f, path, &err);
    EXPECT_FALSE(ok) << c.name;
    EXPECT_NE(err.find(c.error), std::string::npos) << c.name << ": " << err;
  }
  for (const char* description : {"h1 } LID:0004", "two\nlines"}) {
    IBFabric f;
    buildSmall(f, description);
    std::string err;
    EXPECT_FALSE(writeLstFile(f, writeTestFile("bad.lst", ""), &err)) << description;
    EXPECT_NE(err.find("node h1: its description cannot be written"), std::string::npos) << err;
  }
}

TEST(Writers, FailedWritesAreErrors) {
  IBFabric f;
  buildSmall(f);
  std::string err;
  EXPECT_FALSE(writeLstFile(f, "/nonexistent-dir/x.lst", &err));
  EXPECT_EQ(err, "/nonexistent-dir/x.lst: cannot create: No such file or directory");
  // /dev/full accepts the open and fails every write.
  if (FILE* full = std::fopen("/dev/full", "w")) {
    std::fclose(full);
    for (char layout : {'A', 'B'}) {
      err.clear();
      EXPECT_FALSE(writeFdbFile(f, "/dev/full", layout, &err)) << layout;
      EXPECT_EQ(err, "/dev/full: write failed: No space left on device") << layout;
    }
    err.clear();
    EXPECT_FALSE(writePlftFile(f, "/dev/full", &err));
    EXPECT_NE(err.find("write failed"), std::string::npos) << err;
  }
  EXPECT_FALSE(writeFdbFile(f, writeTestFile("x", ""), 'C', &err));
  EXPECT_NE(err.find("layout 'C'"), std::string::npos) << err;
}

TEST(Writers, LinesLongerThanTheBuffer) {
  IBFabric f;
  std::string description(DumpWriter::kBufferSize + 12345, 'd');
  buildSmall(f, description);
  std::string path = writeTestFile("long.lst", "");
  std::string err;
  ASSERT_TRUE(writeLstFile(f, path, &err)) << err;
  std::string text = readTestFile(path);
  EXPECT_NE(text.find("{" + description + "} LID:0004 PN:01 } { SW"), std::string::npos);
  EXPECT_EQ(text.back(), '\n');
}

}  // namespace

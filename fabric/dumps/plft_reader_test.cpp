#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fabric/dumps/readers.h"
#include "fabric/fabric.h"
#include "testing/reader_test_fabric.h"
#include "testing/test_files.h"

namespace {

// Loads the topology, then the PLFT text.
void load(Loaded* l, const std::string& plft) {
  if (!loadTopology(l)) return;
  l->ok = readPlftFile(l->fabric, writeTestFile("fabric.plft", plft), &l->err);
}

TEST(PlftReader, FillsIngressTables) {
  Loaded l;
  load(&l,
       "# private tables\r\n"
       "dump_plft: Switch 0x00000000000000A1\r\n"
       "Port : PLFT\r\n"
       "001 : 0\r\n"
       "002 : 3\r\n"
       "036 : 15   \r\n"
       "\r\n"
       "Switch 0xa2\n"
       "8 : 01");
  ASSERT_TRUE(l.ok) << l.err;
  IBNode* sw1 = l.fabric.getNode("sw1");
  IBNode* sw2 = l.fabric.getNode("sw2");
  std::vector<uint8_t> want1(37, 0);
  want1[2] = 3;
  want1[36] = 15;
  EXPECT_EQ(sw1->ingressTable, want1);
  EXPECT_EQ(sw2->ingressTable, (std::vector<uint8_t>{0, 0, 0, 0, 0, 0, 0, 0, 1}));
  EXPECT_EQ(sw1->tableForIngress(2), 3);
  EXPECT_EQ(sw1->tableForIngress(3), 0);
  EXPECT_TRUE(l.fabric.getNode("h1")->ingressTable.empty());
}

TEST(PlftReader, RejectsBadLinesNamingFileAndLine) {
  struct {
    const char* name;
    std::string text;
    const char* expected;
  } const cases[] = {
      {"row before header", "\n1 : 0\n", "fabric.plft:2: row before any 'Switch 0x<GUID>' header"},
      {"unknown switch", "Switch 0x99\n", "fabric.plft:1: no node with GUID 0x0000000000000099"},
      {"host", "Switch 0xb1\n", "fabric.plft:1: node 0x00000000000000b1 (h1) is not a switch"},
      {"second block", "Switch 0xa2\n1 : 1\nSwitch 0xa1\nx Switch 0xa2\n",
       "fabric.plft:4: second block for switch 0x00000000000000a2"},
      {"port zero", "Switch 0xa2\n000 : 1\n",
       "fabric.plft:2: ingress port 000 is not a port of the switch (1 to 8)"},
      {"port above count", "Switch 0xa2\n9 : 1\n", "fabric.plft:2: ingress port 9 is not a port"},
      {"port huge", "Switch 0xa2\n99999999999999999999999 : 1\n",
       "fabric.plft:2: ingress port 99999999999999999999999 is not"},
      {"table above 15", "Switch 0xa2\n1 : 16\n", "fabric.plft:2: table number 16 is above 15"},
      {"table missing", "Switch 0xa2\n1 : \n",
       "fabric.plft:2: expected ' : ' after the ingress port"},
      {"table not a number", "Switch 0xa2\n1 : x\n", "fabric.plft:2: table number expected"},
      {"text after table", "Switch 0xa2\n1 : 2 x\n", "fabric.plft:2: table number expected"},
      {"no separator", "Switch 0xa2\n1:2\n",
       "fabric.plft:2: expected ' : ' after the ingress port"},
      {"port listed twice", "Switch 0xa2\n1 : 2\n001 : 2\n",
       "fabric.plft:3: ingress port 1 listed twice"},
      {"text after guid", "Switch 0xa2 PLFT 1\n",
       "fabric.plft:1: unexpected text after the switch GUID"},
      {"unrecognised", "Switch 0xa2\nPort PLFT x\n", "fabric.plft:2: unrecognised line"},
      {"no block", "# nothing\n", "fabric.plft: no 'Switch 0x<GUID>' block found"},
      {"empty", "", "fabric.plft: the file is empty"},
  };
  for (const auto& c : cases) {
    Loaded l;
    load(&l, c.text);
    EXPECT_FALSE(l.ok) << c.name;
    EXPECT_NE(l.err.find(c.expected), std::string::npos) << c.name << ": " << l.err;
  }
}

}  // namespace

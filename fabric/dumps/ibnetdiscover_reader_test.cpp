#include <gtest/gtest.h>

#include <string>

#include "fabric/dumps/readers.h"
#include "fabric/fabric.h"
#include "testing/test_files.h"

namespace {

// Switch s1 (LID 3) with host h1 on port 1 and a two-port adapter "x y" cabled
// on its port 2 only, to s1 port 4.
const std::string kPlain =
    "# Topology file\n"
    "DR path slid 0; dlid 0; 0 -> new Switch\n\n"
    "vendid=0x2c9\nsysimgguid=0xa0\nswitchguid=0xa1(a1)\n"
    "Switch\t8 \"S-00000000000000a1\"\t\t# \"s1 # one\" enhanced port 0 lid 3 lmc 0\n"
    "[1]\t\"H-b1\"[1](b2) \t\t# \"h1\" lid 16 4xHDR\n"
    "[4][ext 2]\t\"H-00000000000000c1\"[2](c3) \t\t# \"x  y\" lid 20 4xFDR10\n"
    "\n"
    "caguid=0xb1\n"
    "Ca\t1 \"H-00000000000000b1\"\t\t# \"h1\"\n"
    "[1](b2) \t\"S-a1\"[1]\t\t# lid 16 lmc 0 \"s1 # one\" lid 3 4xHDR\n"
    "Ca\t2 \"H-c1\"\t\t# \"x  y\"\n"
    "[2](c3) \t\"S-a1\"[4]\t\t# lid 20 lmc 2 \"s1 # one\" lid 3 4xFDR10\n";

const std::string kPorts =
    "CA    16  1 0xb2 4x HDR - SW     3  1 0xa1 ( 'h1' - 's1 # one' )\n"
    "SW     3  8 0x00000000000000a1 4x ???                           's1 # one'\n"
    "SW     3  4 0xa1 4x FDR10 - CA    20  2 0xc3 ( 's1 # one' - 'x  y' )\n"
    "SW     3  1 0xa1 4x HDR - CA    16  1 0xb2 ( 's1 # one' - 'h1' )\n";

bool load(IBFabric& f, const std::string& text, std::string* err) {
  return readLstFile(f, writeTestFile("topology.txt", text), err);
}

TEST(IbnetdiscoverReader, PlainFormAndPortsReport) {
  for (bool ports : {false, true}) {
    SCOPED_TRACE(ports ? "ports report" : "plain form");
    IBFabric f;
    std::string err;
    ASSERT_TRUE(load(f, ports ? kPorts : kPlain, &err)) << err;
    ASSERT_EQ(f.nodes().size(), 3u);
    IBNode* s1 = f.getNode("s1_#_one");
    ASSERT_NE(s1, nullptr);
    EXPECT_EQ(s1->nodeGuid, 0xa1u);
    EXPECT_EQ(s1->portCount, 8);
    EXPECT_EQ(s1->lid, 3);
    EXPECT_EQ(s1->systemGuid, ports ? 0u : 0xa0u);
    IBPort* h1 = f.getPort("h1", 1);
    ASSERT_NE(h1, nullptr);
    EXPECT_EQ(h1->remote, s1->getPort(1));
    EXPECT_EQ(h1->baseLid, 16);
    EXPECT_EQ(h1->guid, 0xb2u);
    EXPECT_EQ(h1->width, 4);
    EXPECT_EQ(s1->getPort(1)->speed, 50000u);
    // The ports report knows the adapter only by its port: a node of its own.
    IBNode* x = f.getNode("x_y");
    ASSERT_NE(x, nullptr);
    EXPECT_EQ(x->nodeGuid, ports ? 0xc3u : 0xc1u);
    EXPECT_EQ(x->portCount, 2);
    IBPort* x2 = x->getPort(2);
    ASSERT_NE(x2, nullptr);
    EXPECT_EQ(x2->remote, s1->getPort(4));
    EXPECT_EQ(x2->baseLid, 20);
    EXPECT_EQ(x2->speed, 10000u);
    // Only cabled ports exist: the adapter's port 1 and the switch's spare ports do not.
    EXPECT_EQ(x->getPort(1), nullptr);
    EXPECT_EQ(s1->getPort(8), nullptr);
    EXPECT_EQ(s1->getPort(4)->guid, 0xa1u);
  }
}

TEST(IbnetdiscoverReader, RejectsBadLinesNamingFileAndLine) {
  struct Bad {
    const char* name;
    std::string text;
    const char* expected;
  };
  auto swap = [](std::string text, const std::string& from, const std::string& to) {
    return text.replace(text.find(from), from.size(), to);
  };
  const Bad cases[] = {
      {"plain: port line first", "vendid=1\n[1]\t\"S-a1\"[1]\t\t# \"s\" lid 1\n",
       ":2: port line before any node record"},
      {"plain: unknown line", kPlain + "hello\n", ":16: expected a key=value line"},
      {"plain: bad node id", swap(kPlain, "\"H-b1\"[1]", "\"X-b1\"[1]"),
       ":8: node id must start with S-, H- or R-"},
      {"plain: port above count", swap(kPlain, "[4][ext 2]", "[9]"),
       ":9: port number 9 is above the 8 ports of node 0x00000000000000a1"},
      {"plain: remote lid disagrees", swap(kPlain, "lid 16 lmc 0", "lid 17 lmc 0"),
       ":13: port 1 of node 0x00000000000000b1 ('h1') has LID 17 here but 16 on line 8"},
      {"plain: description disagrees",
       swap(kPlain, "Ca\t1 \"H-00000000000000b1\"\t\t# \"h1\"",
            "Ca\t1 \"H-00000000000000b1\"\t\t# \"h2\""),
       ":12: node 0x00000000000000b1 is described as 'h2' here but as 'h1' on line 8"},
      {"plain: remote description differs in its last byte",
       swap(kPlain, "lmc 0 \"s1 # one\"", "lmc 0 \"s1 # onE\""),
       ":13: node 0x00000000000000a1 is described as 's1 # onE' here but as 's1 # one' on line 7"},
      {"plain: second remote", swap(kPlain, "\"S-a1\"[4]", "\"S-a1\"[1]"),
       ":15: port 2 of node 0x00000000000000c1 ('x  y') is linked to port 1 of node "
       "0x00000000000000a1 ('s1 # one') here but to port 4 of node 0x00000000000000a1 "
       "('s1 # one') on line 9"},
      {"plain: no record",
       "Switch\t8 \"S-a1\"\t\t# \"s\" base port 0 lid 1 lmc 0\n"
       "[1]\t\"S-a2\"[1]\t\t# \"t\" lid 2 4xHDR\n",
       ":2: node 0x00000000000000a2 ('t') is linked here but has no record of its own"},
      {"plain: switch header", swap(kPlain, "enhanced port 0", "port 0"),
       ":7: expected 'base port 0' or 'enhanced port 0'"},
      {"plain: cabled port 0", swap(kPlain, "[4][ext 2]", "[0]"),
       ":9: port 0 of node 0x00000000000000a1 ('s1 # one') cannot be cabled"},
      // One rule for descriptions in every form: at first sight, and where a
      // later line repeats a clean one with an escape.
      {"plain: escape in a description", swap(kPlain, "# \"h1\" lid 16", "# \"h\x1b[31m\" lid 16"),
       ":8: control character in the node description"},
      {"plain: bell in a repeated description",
       swap(kPlain, "Ca\t1 \"H-00000000000000b1\"\t\t# \"h1\"",
            "Ca\t1 \"H-00000000000000b1\"\t\t# \"h1\a\""),
       ":12: control character in the node description"},
      {"ports: escape in a description",
       kPorts + "CA 1 1 0x5 4x HDR - SW 3 5 0xa1 ( 'a\x1b' - 's1 # one' )\n",
       ":5: control character in the node description"},
      // Fields whose maximum is below 9 take no larger number.
      {"plain: host lmc 88", swap(kPlain, "lid 16 lmc 0", "lid 16 lmc 88"),
       ":13: expected 'lid N lmc M'"},
      {"plain: switch lmc 9", swap(kPlain, "lid 3 lmc 0", "lid 3 lmc 9"),
       ":7: expected 'base port 0' or 'enhanced port 0'"},
      {"plain: switch port 123", swap(kPlain, "enhanced port 0", "enhanced port 123"),
       ":7: expected 'base port 0' or 'enhanced port 0'"},
      {"ports: unknown type", kPorts + "XX 1 1 0x1 4x HDR - SW 2 1 0x2 ( 'a' - 'b' )\n",
       ":5: unknown node type 'XX'"},
      {"ports: bad descriptions", kPorts + "CA 1 1 0x5 4x HDR - SW 3 5 0xa1 'a' - 'b'\n",
       ":5: expected \"( 'description' - 'remote description' )\""},
      {"ports: lid disagrees", kPorts + "CA 17 1 0xb2 4x HDR - SW 3 1 0xa1 ( 'h1' - 's1 # one' )\n",
       ":5: port 1 of node 0x00000000000000b2 ('h1') has LID 17 here but 16 on line 1"},
      {"ports: switch lid disagrees", swap(kPorts, "SW     3  4", "SW     4  4"),
       ":3: switch node 0x00000000000000a1 ('s1 # one') has LID 4 here but 3 on line 1"},
      {"ports: cabled port 0", swap(kPorts, "SW     3  1 0xa1", "SW     3  0 0xa1"),
       ":1: port 0 of node 0x00000000000000a1 ('s1 # one') cannot be cabled"},
      {"ports: type disagrees", swap(kPorts, "- CA    20  2 0xc3", "- SW    20  2 0xb2"),
       ":3: node 0x00000000000000b2 ('h1') is a switch here but a channel adapter on line 1"},
  };
  for (const Bad& c : cases) {
    IBFabric f;
    std::string err;
    EXPECT_FALSE(load(f, c.text, &err)) << c.name;
    EXPECT_NE(err.find(std::string("topology.txt") + c.expected), std::string::npos)
        << c.name << ": " << err;
  }
}

}  // namespace

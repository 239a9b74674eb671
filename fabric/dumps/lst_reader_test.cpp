#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "fabric/dumps/readers.h"
#include "fabric/fabric.h"
#include "testing/test_files.h"

namespace {

// One port record of a link line.
std::string end(const char* type, int ports, uint64_t guid, const std::string& desc, int lid,
                int pn, uint64_t portGuid = 0) {
  char text[512];
  if (!portGuid) portGuid = type[0] == 'S' ? guid : guid + pn;
  std::snprintf(text, sizeof text,
                "{ %s Ports:%02X SystemGUID:%016llx NodeGUID:%016llx PortGUID:%016llx VenID:0002C9 "
                "DevID:CF080000 Rev:000000A0 {%s} LID:%04X PN:%02X }",
                type, ports, static_cast<unsigned long long>(guid),
                static_cast<unsigned long long>(guid), static_cast<unsigned long long>(portGuid),
                desc.c_str(), lid, pn);
  return text;
}

std::string link(const std::string& a, const std::string& b) {
  return a + " " + b + " PHY=4x LOG=ACT SPD=50\n";
}

// Two switches, two hosts: h1 - sw1 = sw2 - h2.
std::string smallFabric() {
  return link(end("CA", 1, 0xb1, "host01 HCA-1", 0x10, 1), end("SW", 36, 0xa1, "sw-one", 1, 1)) +
         link(end("SW", 36, 0xa1, "sw-one", 1, 2), end("SW", 8, 0xa2, "sw two", 2, 2)) +
         link(end("CA", 1, 0xb2, "host02 HCA-1", 0x14, 1), end("SW", 8, 0xa2, "sw two", 2, 1));
}

struct Loaded {
  IBFabric fabric;
  bool ok = false;
  std::string err;
};

void load(Loaded* l, const std::string& text, const char* name = "fabric.lst") {
  l->ok = readLstFile(l->fabric, writeTestFile(name, text), &l->err);
}

std::vector<std::string> names(const IBFabric& f) {
  std::vector<std::string> out;
  for (const IBNode& n : f.nodes()) out.push_back(n.nodeName);
  return out;
}

TEST(LstReader, BuildsNodesPortsLinksAndLids) {
  Loaded l;
  load(&l, smallFabric());
  ASSERT_TRUE(l.ok) << l.err;
  IBFabric& f = l.fabric;
  // Order of first appearance, left end first.
  EXPECT_EQ(names(f),
            (std::vector<std::string>{"host01_HCA-1", "sw-one", "sw_two", "host02_HCA-1"}));
  // A port exists only where a line shows it: two per switch, one per host,
  // laid out in creation order.
  EXPECT_EQ(f.ports().size(), 6u);
  for (size_t i = 1; i < f.ports().size(); ++i) EXPECT_LT(&f.ports()[i - 1], &f.ports()[i]);

  IBNode* sw1 = f.getNode("sw-one");
  ASSERT_NE(sw1, nullptr);
  EXPECT_EQ(sw1->nodeType, IB_SW_NODE);
  EXPECT_EQ(sw1->portCount, 36);
  EXPECT_EQ(sw1->lid, 1);
  EXPECT_EQ(sw1->nodeGuid, 0xa1u);
  EXPECT_EQ(sw1->description, "sw-one");
  for (unsigned p = 1; p <= 36; ++p) {
    ASSERT_EQ(sw1->getPort(p) != nullptr, p <= 2) << p;
    if (p <= 2) {
      EXPECT_EQ(sw1->getPort(p)->baseLid, 0) << "switch port " << p;
    }
  }
  EXPECT_EQ(sw1->portTable.size(), 37u);

  IBPort* h1 = f.getPort("host01_HCA-1", 1);
  ASSERT_NE(h1, nullptr);
  EXPECT_EQ(h1->owner->nodeType, IB_CA_NODE);
  EXPECT_EQ(h1->baseLid, 0x10);
  EXPECT_EQ(h1->guid, 0xb2u);  // node GUID 0xb1 + port 1
  EXPECT_EQ(h1->remote, sw1->getPort(1));
  EXPECT_EQ(sw1->getPort(1)->remote, h1);
  EXPECT_EQ(sw1->getPort(2)->remote, f.getPort("sw_two", 2));
  EXPECT_EQ(f.getPort("host02_HCA-1", 1)->remote, f.getPort("sw_two", 1));
  EXPECT_EQ(f.getPort("host02_HCA-1", 1)->baseLid, 0x14);
  EXPECT_EQ(sw1->getPort(2)->guid, 0xa1u);
}

TEST(LstReader, NamingRules) {
  Loaded l;
  load(&l, link(end("CA", 1, 0xc1, "  node01   HCA-1 ", 5, 1), end("SW", 8, 0xa1, "", 1, 1)) +
               link(end("CA", 1, 0xc2, "twin", 6, 1), end("SW", 8, 0xa1, "", 1, 2)) +
               link(end("CA", 1, 0xc3, "twin", 7, 1), end("SW", 8, 0xa1, "", 1, 3)) +
               link(end("CA", 1, 0xc4, "a\tb", 8, 1), end("SW", 8, 0xa1, "", 1, 4)));
  ASSERT_TRUE(l.ok) << l.err;
  EXPECT_EQ(names(l.fabric), (std::vector<std::string>{"node01_HCA-1", "0x00000000000000a1",
                                                       "twin_0x00000000000000c2",
                                                       "twin_0x00000000000000c3", "a_b"}));
  EXPECT_EQ(l.fabric.getPort("node01_HCA-1", 1)->getName(), "node01_HCA-1/P1");
}

TEST(LstReader, AcceptsTypesSuffixesBracesAndLayoutVariants) {
  // CRLF, trailing blanks, comments, blank lines, a repeated link (from the
  // other end), a line without tail, upper/lower-case and padded hex fields,
  // descriptions holding braces, "-SM" suffixes, router and unknown types.
  std::string ca = end("CA-SM", 1, 0xb1, "sm {x} node", 0x10, 1);
  std::string sw1 = end("SW", 36, 0xa1, "MF0;leaf01:MQM8700/U1", 1, 1);
  std::string text = "# topology\r\n\n   \n" + ca + " " + sw1 + "   \r\n" + sw1 + " " + ca + "\n" +
                     end("Rt", 2, 0xd1, "router", 0x20, 2) + " " +
                     end("SW", 36, 0xa1, "MF0;leaf01:MQM8700/U1", 1, 5) + "\n" +
                     "{ ** Ports:0000001 SystemGUID:0 NodeGUID:00E1 PortGUID:e2 VenID:0 DevID:0 "
                     "Rev:0 {odd} LID:0021 PN:1 } " +
                     end("SW-SM", 36, 0xa1, "MF0;leaf01:MQM8700/U1", 1, 6);  // no final newline
  Loaded l;
  load(&l, text);
  ASSERT_TRUE(l.ok) << l.err;
  EXPECT_EQ(names(l.fabric),
            (std::vector<std::string>{"sm_{x}_node", "MF0;leaf01:MQM8700/U1", "router", "odd"}));
  EXPECT_EQ(l.fabric.getNode("router")->nodeType, IB_RTR_NODE);
  EXPECT_EQ(l.fabric.getNode("odd")->nodeType, IB_UNKNOWN_NODE);
  EXPECT_EQ(l.fabric.getNode("odd")->nodeGuid, 0xe1u);
  EXPECT_EQ(l.fabric.getPort("odd", 1)->guid, 0xe2u);
  EXPECT_EQ(l.fabric.getPort("odd", 1)->baseLid, 0x21);
  EXPECT_EQ(l.fabric.getPort("router", 2)->baseLid, 0x20);
  EXPECT_EQ(l.fabric.getPort("router", 1), nullptr);  // no line shows it
  EXPECT_EQ(l.fabric.getPort("router", 2)->remote, l.fabric.getPort("MF0;leaf01:MQM8700/U1", 5));
}

TEST(LstReader, LinkWidthAndSpeedFromTheTail) {
  // Both ends get the link's rate; a tail that does not say, or says what no
  // link runs at, leaves 0; a line repeating a link may fill in what the
  // first left out.
  const char* hosts[] = {"", "h1", "h2", "h3", "h4", "h5"};
  auto line = [&](int host, int pn, const char* tail) {
    return end("CA", 1, 0xb0 + host, hosts[host], 0x10 + host, 1) + " " +
           end("SW", 36, 0xa1, "s1", 1, pn) + tail + "\n";
  };
  Loaded l;
  load(&l, line(1, 1, " PHY=4x LOG=ACT SPD=2.5") + line(2, 2, " LOG=ACT SPD=14 PHY=12x") +
               line(3, 3, " PHY=3x LOG=ACT SPD=7") + line(4, 4, " state=up 4xHDR") +
               line(5, 5, "") + line(5, 5, " PHY=1x LOG=ACT"));
  ASSERT_TRUE(l.ok) << l.err;
  const unsigned want[][2] = {{4, 2500}, {12, 14000}, {0, 0}, {0, 0}, {1, 0}};
  for (int h = 1; h <= 5; ++h) {
    const IBPort* p = l.fabric.getPort(hosts[h], 1);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->width, want[h - 1][0]) << h;
    EXPECT_EQ(p->speed, want[h - 1][1]) << h;
    EXPECT_EQ(p->remote->width, p->width) << h;
    EXPECT_EQ(p->remote->speed, p->speed) << h;
  }
}

struct BadCase {
  const char* name;
  std::string text;
  const char* expected;  // substring of the message, after "fabric.lst:"
};

TEST(LstReader, RejectsBadLinesNamingFileAndLine) {
  std::string good = link(end("CA", 1, 0xb1, "h1", 0x10, 1), end("SW", 36, 0xa1, "s1", 1, 1));
  std::string s1p2 = end("SW", 36, 0xa1, "s1", 1, 2);
  std::string full = end("SW", 36, 0xa1, "s1", 1, 1);
  const BadCase cases[] = {
      {"port above count",
       good + link(end("CA", 1, 0xb2, "h2", 0x11, 1), end("SW", 36, 0xa1, "s1", 1, 0x25)),
       ":2: port number 0x25 is above the node's 36 ports"},
      {"port zero", link(end("CA", 1, 0xb2, "h2", 0x11, 0), full),
       ":1: port number 0x00 is not valid"},
      {"unknown type", "{ XX" + full.substr(4) + " " + full + "\n", ":1: unknown node type 'XX'"},
      {"ports field too large", "{ SW Ports:100" + full.substr(13) + " " + full + "\n",
       ":1: Ports: value too large for 8 bits"},
      {"guid too large", "{ SW Ports:24 SystemGUID:10000000000000000" + full.substr(40) + "\n",
       ":1: SystemGUID: value too large for 64 bits"},
      {"lid too large",
       good + link(end("CA", 1, 0xb2, "h2", 0x11, 1), s1p2)
                  .replace(good.find("LID:0010"), 8, "LID:10000"),
       ":2: LID: value too large for 16 bits"},
      {"bad hex digit",
       link(end("CA", 1, 0xb2, "h2", 0x11, 1), full).replace(full.find("VenID:0002C9") + 6, 1, "G"),
       ":1: VenID: hexadecimal number expected"},
      {"description not closed",
       "{ CA Ports:01 SystemGUID:1 NodeGUID:1 PortGUID:1 VenID:0 DevID:0 "
       "Rev:0 {h1 LID:0001 PN:01 }\n",
       ":1: node description not closed by '} LID:'"},
      {"missing field", "{ CA Ports:01 NodeGUID:1\n", ":1: expected field ' SystemGUID:'"},
      {"one end only", "\n# c\n" + full + "\n", ":3: expected ' ' between the two port records"},
      {"garbage after link", good.substr(0, good.find(" PHY")) + "}x\n",
       ":1: unexpected text after the second port record"},
      {"not a link line", "hello\n", ":1: expected '{ ' at the start of a port record"},
      {"type changes",
       good + link(end("CA", 1, 0xb2, "h2", 0x11, 1), end("CA", 36, 0xa1, "s1", 1, 2)),
       ":2: node 0x00000000000000a1 ('s1') is a CA here but a SW on line 1"},
      {"port count changes",
       good + link(end("CA", 1, 0xb2, "h2", 0x11, 1), end("SW", 8, 0xa1, "s1", 1, 2)),
       ":2: node 0x00000000000000a1 ('s1') has 8 ports here but 36 on line 1"},
      {"description changes",
       good + link(end("CA", 1, 0xb2, "h2", 0x11, 1), end("SW", 36, 0xa1, "s1 ", 1, 2)),
       ":2: node 0x00000000000000a1 is described as 's1 ' here but as 's1' on line 1"},
      {"switch lid changes",
       good + link(end("CA", 1, 0xb2, "h2", 0x11, 1), end("SW", 36, 0xa1, "s1", 7, 2)),
       ":2: switch node 0x00000000000000a1 ('s1') has LID 0x0007 here but 0x0001 on line 1"},
      {"port guid changes", good + link(end("CA", 1, 0xb1, "h1", 0x10, 1, 0x99), full),
       ":2: port 1 of node 0x00000000000000b1 ('h1') has PortGUID 0x0000000000000099 here"},
      {"host lid changes", good + link(full, end("CA", 1, 0xb1, "h1", 0x12, 1)),
       ":2: port 1 of node 0x00000000000000b1 ('h1') has LID 0x0012 here but 0x0010 on line 1"},
      {"self link", link(s1p2, s1p2),
       ":1: port 2 of node 0x00000000000000a1 ('s1') is linked to itself"},
      {"second remote", good + link(end("CA", 1, 0xb2, "h2", 0x11, 1), full),
       ":2: port 1 of node 0x00000000000000a1 ('s1') is linked to port 1 of node "
       "0x00000000000000b2 ('h2') here but to port 1 of node 0x00000000000000b1 ('h1') on line 1"},
      {"control character", link(end("CA", 1, 0xb2, "h\x01", 0x11, 1), full),
       ":1: control character in the node description"},
      {"255 ports", link(end("CA", 1, 0xb2, "h2", 0x11, 1), end("SW", 255, 0xa1, "s1", 1, 255)),
       ":1: Ports: 0xFF is above 254"},
      {"bare carriage returns end no line", good + good.substr(0, good.size() - 1) + "\r" + good,
       ":2: carriage return inside the line"},
      {"long description echoed in part",
       [&] {
         std::string t = good + link(end("CA", 1, 0xb1, "@", 0x10, 1), full);
         return t.replace(t.find("{@}") + 1, 1, std::string(100000, 'd'));
       }(),
       ":2: node 0x00000000000000b1 is described as 'ddd"},
  };
  for (const BadCase& c : cases) {
    Loaded l;
    load(&l, c.text);
    EXPECT_FALSE(l.ok) << c.name;
    EXPECT_NE(l.err.find(std::string("fabric.lst") + c.expected), std::string::npos)
        << c.name << ": " << l.err.substr(0, 1000);
    EXPECT_LT(l.err.size(), 1000u) << c.name;  // echoed fields are cut short
  }
}

TEST(LstReader, RejectsFilesWithoutLinks) {
  const BadCase cases[] = {
      {"empty", "", "fabric.lst: the file is empty"},
      {"comments only", "# nothing\n\n  \n", "fabric.lst: no link line found"},
  };
  for (const BadCase& c : cases) {
    Loaded l;
    load(&l, c.text);
    EXPECT_FALSE(l.ok) << c.name;
    EXPECT_NE(l.err.find(c.expected), std::string::npos) << c.name << ": " << l.err;
    EXPECT_TRUE(l.fabric.nodes().empty()) << c.name;
  }
}

TEST(LstReader, RenamedNodesStepAsideFromTakenNames) {
  // Two nodes described "x" become x_0x<GUID>; a third node already carries
  // the first one's, and a fourth the next free choice: the first then takes
  // the one after.
  Loaded l;
  load(&l,
       link(end("CA", 1, 0xb1, "x", 1, 1), end("SW", 8, 0xa1, "x_0x00000000000000b1", 2, 1)) +
           link(end("CA", 1, 0xb2, "x", 3, 1), end("SW", 8, 0xa1, "x_0x00000000000000b1", 2, 2)) +
           link(end("CA", 1, 0xb3, "x_0x00000000000000b1_2", 4, 1),
                end("SW", 8, 0xa1, "x_0x00000000000000b1", 2, 3)));
  ASSERT_TRUE(l.ok) << l.err;
  EXPECT_EQ(names(l.fabric),
            (std::vector<std::string>{"x_0x00000000000000b1_3", "x_0x00000000000000b1",
                                      "x_0x00000000000000b2", "x_0x00000000000000b1_2"}));
}

}  // namespace

// A fabric of two switches and four hosts for the pair-list tests, small
// enough to follow every path by hand.
#pragma once

#include <gtest/gtest.h>

#include "fabric/fabric.h"

inline NodeDecl smallSwitch(const char* name, uint8_t ports) {
  return {IB_SW_NODE, name, "", 0, 0, ports, 0};
}
inline NodeDecl smallHost(const char* name, uint64_t guid) {
  return {IB_CA_NODE, name, "", guid, 0, 1, 0};
}

// h1, h2 on s1; h3, h4 on s2; s1/P3 - s2/P3 the only cable between them.
// h4's LID has no entry on s1: routes towards it break there.
struct SmallFabric {
  IBFabric f;
  SmallFabric() {
    EXPECT_EQ(f.createNodes({smallSwitch("s1", 3), smallSwitch("s2", 3), smallHost("h1", 0x10),
                             smallHost("h2", 0x20), smallHost("h3", 0x30), smallHost("h4", 0x40)}),
              0);
    const char* hosts[] = {"h1", "h2", "h3", "h4"};
    for (int i = 0; i < 4; ++i) {
      IBPort* h = f.getPort(hosts[i], 1);
      IBFabric::link(h, f.getPort(i < 2 ? "s1" : "s2", 1 + i % 2));
      h->baseLid = static_cast<uint16_t>(i + 1);
      h->guid = h->owner->nodeGuid + 1;
    }
    IBFabric::link(f.getPort("s1", 3), f.getPort("s2", 3));
    for (uint16_t lid = 1; lid <= 4; ++lid) {
      if (lid != 4) f.getNode("s1")->setLFTPortForLid(lid, lid <= 2 ? lid : 3, 0);
      f.getNode("s2")->setLFTPortForLid(lid, lid <= 2 ? 3 : lid - 2, 0);
    }
  }
  const IBPort* port(const char* node) { return f.getPort(node, 1); }
};

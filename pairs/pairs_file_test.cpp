#include "pairs/pairs_file.h"

#include <gtest/gtest.h>

#include <string>

#include "pairs/endpoints.h"
#include "pairs/pairs_reader.h"
#include "testing/small_fabric.h"
#include "testing/test_files.h"

namespace {

// What the writer writes, the reader reads back as the same pairs.
TEST(PairsFile, WrittenAsReadAndCounted) {
  SmallFabric s;
  const std::string path = testPath("pairs");
  PairsFileWriter out(path, true);
  out.writeStage(1);
  out.writePair(*s.port("h1"), *s.port("h3"), 3);
  out.writeStage(2);
  out.writePair(*s.port("h2"), *s.port("h4"));
  ASSERT_TRUE(out.close());

  const std::string text = readTestFile(path);
  EXPECT_EQ(text, std::string(kPairsFileHeader) + "STAGE 1\nh1/P1 h3/P1 0x0003\nSTAGE 2\n" +
                      "h2/P1 h4/P1\n");
  EXPECT_EQ(countPairLines(text), 2u);

  EndpointIndex endpoints(s.f);
  PairPlan plan;
  std::string err;
  ASSERT_TRUE(readPairsFile(path, endpoints, 0, &plan, &err)) << err;
  ASSERT_EQ(plan.stages.size(), 2u);
  ASSERT_EQ(plan.stages[0].pairs.size(), 1u);
  EXPECT_EQ(plan.stages[0].pairs[0].src, s.port("h1"));
  EXPECT_EQ(plan.stages[0].pairs[0].lid, 3);
  ASSERT_EQ(plan.stages[1].pairs.size(), 1u);
  EXPECT_EQ(plan.stages[1].pairs[0].dst, s.port("h4"));

  PairsFileWriter nowhere(testPath("no-such-folder") + "/pairs", false);
  EXPECT_FALSE(nowhere.ok());
  EXPECT_FALSE(nowhere.close());
}

}  // namespace

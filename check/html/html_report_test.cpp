// The HTML report: its data, and the page as a browser draws it (headless
// Chromium, skipped where it is not installed).
#include "check/html/html_report.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

#include "testing/generated_fabric.h"
#include "testing/run_binary.h"
#include "testing/test_files.h"

namespace {

TEST(HtmlReport, TiersCountHopsFromTheHosts) {
  GenOptions o;
  o.levels = 3;
  o.radix = 8;
  IBFabric f = generatedFabric(o);
  std::vector<int> tiers = nodeTiers(f);
  ASSERT_EQ(tiers.size(), f.nodes().size());
  for (size_t i = 0; i < tiers.size(); ++i) {
    const std::string& name = f.nodes()[i].nodeName;
    int expected = name.find("core") != std::string::npos    ? 3
                   : name.find("spine") != std::string::npos ? 2
                   : name.find("leaf") != std::string::npos  ? 1
                                                             : 0;
    EXPECT_EQ(tiers[i], expected) << name;
  }
}

TEST(HtmlReport, NamesCannotEndTheDataScript) {
  IBFabric f;
  ASSERT_EQ(f.createNodes({{IB_SW_NODE, "s1", "", 1, 0, 2, 1},
                           {IB_CA_NODE, "</script><b>x", "", 2, 0, 1, 0},
                           {IB_CA_NODE, "h\xff", "", 3, 0, 1, 0}}),
            0);
  IBFabric::link(f.getPort("s1", 1), f.getPort("</script><b>x", 1));
  IBFabric::link(f.getPort("s1", 2), f.getPort("h\xff", 1));
  PairPlan plan;
  CheckReport r;
  r.fabric = &f;
  r.plan = &plan;
  r.degraded = findDegradedLinks(f);
  std::string page = htmlReport(r);

  // Only the two scripts' own ends, and the data reads back as it was.
  size_t ends = 0;
  for (size_t at = page.find("</script"); at != std::string::npos;
       at = page.find("</script", at + 1))
    ++ends;
  EXPECT_EQ(ends, 2u);
  const std::string open = "<script type=\"application/json\" id=\"data\">";
  size_t from = page.find(open) + open.size();
  nlohmann::json data =
      nlohmann::json::parse(page.substr(from, page.find("</script>", from) - from));
  EXPECT_EQ(data["nodes"][1][0], "</script><b>x");
  EXPECT_EQ(data["nodes"][2][0], "h\xef\xbf\xbd");  // invalid UTF-8 replaced, not thrown
  EXPECT_EQ(data["cables"].size(), 2u);
}

// --- the program, and the page in a browser ---------------------------------

const char kChromium[] = "/usr/bin/chromium";

BinaryRun check(const std::string& dir, std::vector<std::string> args) {
  std::vector<std::string> all = {"-l", dir + "/fabric.lst", "-f", dir + "/fabric.fdbs"};
  all.insert(all.end(), args.begin(), args.end());
  return runBinary(CHECK_BIN, all, "linkdeal-check");
}

// Every host sends to the host of the same number on the next leaf: on a
// tree with fewer up-links than hosts, the up-links carry more than one pair.
std::string shiftedList(int leaves, int hostsPerLeaf, int slowEvery, std::string* results) {
  std::string list;
  for (int leaf = 1; leaf <= leaves; ++leaf)
    for (int n = 1; n <= hostsPerLeaf; ++n) {
      char line[96];
      std::snprintf(line, sizeof line, "r%02dn%02d_HCA-1/P1 r%02dn%02d_HCA-1/P1", leaf, n,
                    leaf % leaves + 1, n);
      list += std::string(line) + "\n";
      *results += std::string(line) + ((leaf * hostsPerLeaf + n) % slowEvery ? " 196\n" : " 40\n");
    }
  return list;
}

// The page after its script ran, as Chromium serialises it; stderr has the
// console's messages.
BinaryRun renderPage(const std::string& html) {
  std::string profile = makeTestDir("chromium-profile");
  return runBinary(
      kChromium,
      {"--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
       "--disable-background-networking", "--disable-component-update", "--disable-sync",
       "--enable-logging=stderr", "--user-data-dir=" + profile, "--window-size=1400,1000",
       "--dump-dom", "file://" + html},
      "chromium", 120);
}

size_t count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// The values of attr on the elements whose class attribute is cls, in order.
std::vector<std::string> attributes(const std::string& dom, const std::string& cls,
                                    const std::string& attr) {
  std::vector<std::string> out;
  std::string key = "class=\"" + cls + "\" " + attr + "=\"";
  for (size_t at = dom.find(key); at != std::string::npos; at = dom.find(key, at + 1)) {
    size_t from = at + key.size();
    out.push_back(dom.substr(from, dom.find('"', from) - from));
  }
  return out;
}

void expectDrawnWithoutErrors(const BinaryRun& page) {
  ASSERT_EQ(page.status, 0) << page.err;
  EXPECT_EQ(page.err.find("Uncaught"), std::string::npos) << page.err;
  size_t error = page.out.find("class=\"js-error\"");
  EXPECT_EQ(error, std::string::npos)
      << page.out.substr(error == std::string::npos ? 0 : error, 300);
  EXPECT_NE(page.out.find("id=\"rendered\""), std::string::npos);
}

struct Expected {
  std::set<std::string> overPorts;  // switch ports above the limit in stage 1
  std::vector<std::string> suspects;
  size_t switches = 0;
};

// What --json says of the same check.
Expected fromJson(const std::string& out) {
  nlohmann::json doc = nlohmann::json::parse(out);
  Expected e;
  e.switches = doc["fabric"]["switches"];
  for (const nlohmann::json& p : doc["stages"][0]["busiest"])
    if (p["load"] > doc["fabric"]["max_flows"]) e.overPorts.insert(p["port"].get<std::string>());
  EXPECT_EQ(e.overPorts.size(), doc["stages"][0]["ports_over_limit"]);
  for (const nlohmann::json& s : doc["results"]["suspects"]) e.suspects.push_back(s["port"]);
  return e;
}

TEST(HtmlReport, PageDrawsWhatTheJsonSays) {
  if (access(kChromium, X_OK) != 0) GTEST_SKIP() << "no " << kChromium;
  GenOptions o;
  o.radix = 8;
  o.leaves = 4;
  o.hostsPerLeaf = 4;
  o.upLinks = 2;
  std::string dir = writeGeneratedFabric(o);
  std::string results;
  std::string pairs = writeTestFile("pairs", shiftedList(4, 4, 7, &results));
  std::string resultsFile = writeTestFile("results", "STAGE 1\n" + results);
  std::string html = testPath("report.html");
  BinaryRun run =
      check(dir, {"--json", "--busiest", "0", "--results", resultsFile, "--html", html, pairs});
  ASSERT_EQ(run.status, 1) << run.err;
  Expected e = fromJson(run.out);
  ASSERT_EQ(e.overPorts.size(), 16u);
  ASSERT_FALSE(e.suspects.empty());

  BinaryRun page = renderPage(html);
  expectDrawnWithoutErrors(page);
  const std::string& dom = page.out;
  EXPECT_EQ(count(dom, "class=\"sw"), e.switches);
  EXPECT_EQ(count(dom, "class=\"host"), 16u);
  EXPECT_EQ(count(dom, "class=\"link over\""), e.overPorts.size());
  EXPECT_EQ(count(dom, "class=\"badge suspect\""), e.suspects.size());
  std::vector<std::string> over = attributes(dom, "over-port", "data-port");
  EXPECT_EQ(std::set<std::string>(over.begin(), over.end()), e.overPorts);
  EXPECT_EQ(over.size(), e.overPorts.size());
  EXPECT_EQ(attributes(dom, "suspect", "data-port"), e.suspects);
}

TEST(HtmlReport, LargeFabricAggregatedKeepsTheRed) {
  if (access(kChromium, X_OK) != 0) GTEST_SKIP() << "no " << kChromium;
  // 64 leaves of 40 hosts with 24 up-links: 2,560 hosts, past the size where
  // every link is drawn.
  GenOptions o;
  o.radix = 64;
  o.hostsPerLeaf = 40;
  o.upLinks = 24;
  std::string dir = writeGeneratedFabric(o);
  std::string results;
  std::string pairs = writeTestFile("pairs", shiftedList(64, 40, 997, &results));
  std::string resultsFile = writeTestFile("results", "STAGE 1\n" + results);
  std::string html = testPath("report.html");
  BinaryRun run =
      check(dir, {"--json", "--busiest", "0", "--results", resultsFile, "--html", html, pairs});
  ASSERT_EQ(run.status, 1) << run.err;
  Expected e = fromJson(run.out);
  ASSERT_GT(e.overPorts.size(), 0u);

  BinaryRun page = renderPage(html);
  expectDrawnWithoutErrors(page);
  const std::string& dom = page.out;
  EXPECT_EQ(count(dom, "class=\"sw"), 0u);  // strips on a canvas instead
  EXPECT_EQ(count(dom, "<canvas"), 2u);     // the fabric and the leaf matrix
  std::vector<std::string> over = attributes(dom, "over-port", "data-port");
  EXPECT_EQ(std::set<std::string>(over.begin(), over.end()), e.overPorts);
  EXPECT_EQ(attributes(dom, "suspect", "data-port"), e.suspects);
}

TEST(HtmlReport, ReportNeverReplacesAnInput) {
  GenOptions o;
  o.radix = 8;
  o.leaves = 2;
  std::string dir = writeGeneratedFabric(o);
  std::string pairs = writeTestFile("pairs", "r01n01_HCA-1 r02n01_HCA-1\n");
  BinaryRun run = check(dir, {"--html", pairs, pairs});
  EXPECT_EQ(run.status, 2);
  EXPECT_NE(run.err.find("is an input of this check"), std::string::npos) << run.err;
  EXPECT_EQ(readTestFile(pairs), "r01n01_HCA-1 r02n01_HCA-1\n");
  run = check(dir, {"--html", dir, pairs});  // a folder: fopen fails
  EXPECT_EQ(run.status, 2);
  EXPECT_NE(run.err.find("cannot write the HTML report"), std::string::npos) << run.err;
  run = check(dir, {"--html", dir + "/missing/report.html", pairs});
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.out, "");
}

}  // namespace

// Test helper: small input files written into the test's temporary folder.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <string_view>

// Writes contents to a fresh file named after the running test and name;
// returns its path.
inline std::string writeTestFile(std::string_view name, std::string_view contents) {
  const testing::TestInfo* info = testing::UnitTest::GetInstance()->current_test_info();
  std::string path = testing::TempDir();
  if (!path.empty() && path.back() != '/') path += '/';
  if (info) path += std::string(info->test_suite_name()) + "." + info->name() + ".";
  path += name;
  FILE* f = std::fopen(path.c_str(), "wb");
  EXPECT_NE(f, nullptr) << path;
  if (f) {
    EXPECT_EQ(std::fwrite(contents.data(), 1, contents.size(), f), contents.size()) << path;
    std::fclose(f);
  }
  return path;
}

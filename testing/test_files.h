// Test helpers: files and folders in the test's temporary folder, named after
// the running test so that tests run side by side never share one.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

// The temporary folder's path for this test and name: Suite.Test.name (just
// Suite.Test when name is empty). Blanks become '_', as the paths also go
// through shell commands.
inline std::string testPath(std::string_view name) {
  const testing::TestInfo* info = testing::UnitTest::GetInstance()->current_test_info();
  std::string own;
  if (info) own = std::string(info->test_suite_name()) + "." + info->name();
  if (!own.empty() && !name.empty()) own += '.';
  own += name;
  for (char& c : own)
    if (c == ' ') c = '_';
  std::string path = testing::TempDir();
  if (!path.empty() && path.back() != '/') path += '/';
  return path + own;
}

// Writes contents to a fresh file named after the running test and name;
// returns its path.
inline std::string writeTestFile(std::string_view name, std::string_view contents) {
  std::string path = testPath(name);
  FILE* f = std::fopen(path.c_str(), "wb");
  EXPECT_NE(f, nullptr) << path;
  if (f) {
    EXPECT_EQ(std::fwrite(contents.data(), 1, contents.size(), f), contents.size()) << path;
    std::fclose(f);
  }
  return path;
}

// The whole file at path. A file that is missing (or is no regular file, such
// as /dev/full with its endless zeros) reads as "<missing PATH>", so that it
// never passes for an empty one.
inline std::string readTestFile(const std::string& path) {
  struct stat st;
  FILE* f = nullptr;
  if (stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) f = std::fopen(path.c_str(), "rb");
  if (!f) return "<missing " + path + ">";
  std::string contents;
  char buf[65536];
  for (size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) contents.append(buf, n);
  std::fclose(f);
  return contents;
}

// A fresh, empty folder named after the running test and tag (what an earlier
// run left there is removed first); returns its path.
inline std::string makeTestDir(std::string_view tag = "") {
  std::string dir = testPath(tag);
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
  EXPECT_TRUE(std::filesystem::create_directory(dir, ec)) << dir << ": " << ec.message();
  return dir;
}

// The lines of text, without their newlines; a last line without one fails
// the test.
inline std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> out;
  size_t start = 0;
  for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1)
    out.push_back(text.substr(start, nl - start));
  EXPECT_EQ(start, text.size()) << "unterminated last line";
  return out;
}

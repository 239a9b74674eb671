#include "cli/outputs.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

namespace {

bool sameFile(const std::string& path, const struct stat& file) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && st.st_dev == file.st_dev && st.st_ino == file.st_ino;
}

InputFile inputMatching(const struct stat& file, const std::vector<InputFile>& inputs) {
  for (const InputFile& input : inputs) {
    if (input.path.empty()) continue;
    if (sameFile(input.path, file)) return input;
    // A folder of dumps: each of its files is an input.
    std::error_code ec;
    if (!std::filesystem::is_directory(input.path, ec)) continue;
    for (const auto& entry : std::filesystem::directory_iterator(input.path, ec))
      if (sameFile(entry.path().string(), file)) return {input.option, entry.path().string()};
  }
  return {};
}

}  // namespace

bool keepStandardDescriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // open() returns the lowest free descriptor: this one.
    const int opened = open("/dev/null", fd == 0 ? O_WRONLY : O_RDONLY);
    if (opened != fd) {
      if (opened >= 0) close(opened);
      return false;
    }
  }
  return true;
}

bool flushStandardOutput(std::string* why) {
  const bool failedBefore = std::ferror(stdout) != 0;
  errno = 0;
  if (std::fflush(stdout) == 0 && !failedBefore) return true;
  // A write that failed earlier left errno long gone: the reason may be unknown.
  *why = errno ? std::strerror(errno) : "";
  return false;
}

InputFile inputAt(const std::string& output, const std::vector<InputFile>& inputs) {
  struct stat out;
  if (stat(output.c_str(), &out) != 0) return {};  // a new file: nothing to lose
  return inputMatching(out, inputs);
}

InputFile inputOnStandardOutput(const std::vector<InputFile>& inputs) {
  struct stat out;
  if (fstat(STDOUT_FILENO, &out) != 0 || !S_ISREG(out.st_mode)) return {};
  return inputMatching(out, inputs);
}

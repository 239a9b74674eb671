// Writers of the three dump formats the readers accept: topology (LST),
// forwarding tables (FDB, layout A or B) and private-table maps (PLFT). They
// write what a subnet manager's dumps look like, so a fabric written and read
// back is the same fabric. Each returns false with *err set ("FILE: problem")
// when the fabric cannot be written faithfully or a write fails.
#pragma once

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include <fcntl.h>
#include <sys/types.h>
#include <unistd.h>

#include "fabric/dumps/readers.h"
#include "fabric/fabric.h"

// The topology in any form -l reads. The discovery diagnostic's forms are
// laid out as it prints them; a description they cannot carry is refused.
bool writeTopologyFile(const IBFabric& fabric, const std::string& path, TopologyForm form,
                       std::string* err);
// Every link once from each end, one line per direction.
bool writeLstFile(const IBFabric& fabric, const std::string& path, std::string* err);
// Every switch's tables. Layout 'A' is the routing dump (every LID up to the
// fabric's highest, UNREACHABLE where there is no entry); 'B' the LFT dump
// (valid entries only). Layout B cannot name a private table, so tables above
// 0 are written as layout-A sections in either case.
bool writeFdbFile(const IBFabric& fabric, const std::string& path, char layout, std::string* err);
// One block per switch that has an ingress map.
bool writePlftFile(const IBFabric& fabric, const std::string& path, std::string* err);

// The highest LID any port or forwarding table of the fabric mentions.
uint16_t highestLid(const IBFabric& fabric);

// Output file with a large buffer, written with write(2). The first failure
// sticks: later calls do nothing and finish() reports it.
class DumpWriter {
 public:
  static constexpr size_t kBufferSize = size_t{4} << 20;

  explicit DumpWriter(std::string path) : path_(std::move(path)), buf_(new char[kBufferSize]) {
    fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd_ < 0) fail("cannot create", errno);
  }
  DumpWriter(const DumpWriter&) = delete;
  DumpWriter& operator=(const DumpWriter&) = delete;
  ~DumpWriter() {
    if (fd_ >= 0) ::close(fd_);
  }

  bool ok() const { return error_.empty(); }

  // Room for at least n more bytes; returns where to write them. Callers
  // reserve a whole line at a time; the buffer grows for a huge line.
  char* reserve(size_t n) {
    if (used_ + n > capacity_) {
      flush();
      if (n > capacity_) {
        buf_.reset(new char[n]);
        capacity_ = n;
      }
    }
    return buf_.get() + used_;
  }
  void commit(char* end) { used_ = static_cast<size_t>(end - buf_.get()); }

  void put(std::string_view s) {
    if (s.size() > capacity_) {
      flush();
      writeAll(s.data(), s.size());
      return;
    }
    char* p = reserve(s.size());
    std::memcpy(p, s.data(), s.size());
    commit(p + s.size());
  }

  // Flushes and closes; true when every byte reached the file.
  bool finish(std::string* err) {
    flush();
    if (fd_ >= 0) {
      int fd = fd_;
      fd_ = -1;
      if (::close(fd) != 0 && ok()) fail("close failed", errno);
    }
    if (!ok() && err) *err = error_;
    return ok();
  }

 private:
  void fail(const char* what, int code) {
    if (ok()) error_ = path_ + ": " + what + ": " + std::strerror(code);
  }
  void flush() {
    if (used_ > 0) writeAll(buf_.get(), used_);
    used_ = 0;
  }
  void writeAll(const char* p, size_t n) {
    while (n > 0 && ok() && fd_ >= 0) {
      ssize_t w = ::write(fd_, p, n);
      if (w < 0) {
        if (errno == EINTR) continue;
        fail("write failed", errno);
        return;
      }
      if (w == 0) {
        fail("write failed", EIO);
        return;
      }
      p += w;
      n -= static_cast<size_t>(w);
    }
  }

  std::string path_;
  std::unique_ptr<char[]> buf_;
  size_t capacity_ = kBufferSize;
  size_t used_ = 0;
  int fd_ = -1;
  std::string error_;
};

// Hand-rolled number formatting for the writers' hot loops.
inline char* putHex(char* p, uint64_t v, int digits, bool upper) {
  const char* d = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  for (int i = digits - 1; i >= 0; --i) {
    p[i] = d[v & 15];
    v >>= 4;
  }
  return p + digits;
}
// At least minDigits digits, zero-padded.
inline char* putDec(char* p, uint64_t v, int minDigits) {
  char tmp[20];
  int n = 0;
  do {
    tmp[n++] = static_cast<char>('0' + v % 10);
    v /= 10;
  } while (v != 0);
  while (n < minDigits) tmp[n++] = '0';
  while (n > 0) *p++ = tmp[--n];
  return p;
}
inline char* putStr(char* p, std::string_view s) {
  std::memcpy(p, s.data(), s.size());
  return p + s.size();
}

#include "fabric/text/line_reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

LineReader::LineReader(size_t chunk, size_t maxLine)
    : chunk_(chunk ? chunk : 1), maxLine_(maxLine) {}

LineReader::~LineReader() {
  if (fd_ >= 0) close(fd_);
}

bool LineReader::open(const std::string& fileName, std::string* err) {
  fileName_ = fileName;
  int fd;
  do {
    fd = ::open(fileName.c_str(), O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    *err = fileName + ": cannot open: " + std::strerror(errno);
    return false;
  }
  struct stat st;
  if (fstat(fd, &st) != 0) {
    *err = fileName + ": cannot stat: " + std::strerror(errno);
    close(fd);
    return false;
  }
  if (S_ISDIR(st.st_mode)) {
    *err = fileName + ": is a directory, not a file";
    close(fd);
    return false;
  }
#ifdef POSIX_FADV_SEQUENTIAL
  posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
#endif
  fd_ = fd;
  if (S_ISREG(st.st_mode) && st.st_size > 0) fileSize_ = static_cast<uint64_t>(st.st_size);
  // A small regular file needs no whole chunk: many small reads (tests, the
  // fuzzers) would otherwise spend their time faulting in untouched memory.
  // (Or a small range of a file: bytesLeft_ is set first by openRange.)
  size_t size = chunk_;
  uint64_t toRead =
      S_ISREG(st.st_mode) && st.st_size >= 0 ? static_cast<uint64_t>(st.st_size) : ~uint64_t{0};
  toRead = std::min(toRead, bytesLeft_);
  if (toRead < chunk_)
    size = std::max<size_t>(static_cast<size_t>(toRead) + 1, std::min<size_t>(chunk_, 4096));
  buf_.resize(size);
  return true;
}

bool LineReader::openRange(const std::string& fileName, uint64_t begin, uint64_t end,
                           size_t linesBefore, std::string* err) {
  bytesLeft_ = end > begin ? end - begin : 0;
  if (!open(fileName, err)) return false;
  if (lseek(fd_, static_cast<off_t>(begin), SEEK_SET) < 0) {
    *err = fileName + ": cannot seek: " + std::strerror(errno);
    return false;
  }
  line_ = linesBefore;
  return true;
}

long LineReader::fill() {
  if (end_ == buf_.size()) {
    // Only a line that does not fit gets here: grow, within the cap.
    size_t grown = buf_.size() * 2;
    if (grown > maxLine_ + 1) grown = maxLine_ + 1;
    if (grown <= buf_.size()) grown = buf_.size() + 1;
    buf_.resize(grown);
  }
  size_t want = std::min<uint64_t>(buf_.size() - end_, bytesLeft_);
  ssize_t n = 0;
  do {
    if (want > 0) n = read(fd_, buf_.data() + end_, want);
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    error_ = fileName_ + ": read failed after line " + std::to_string(line_) + ": " +
             std::strerror(errno);
    return -1;
  }
  if (n > 0 && !sawCr_)
    sawCr_ = std::memchr(buf_.data() + end_, '\r', static_cast<size_t>(n)) != nullptr;
  if (n > 0 && nul_ == kNoNul) {
    const char* fresh = buf_.data() + end_;
    const void* z = std::memchr(fresh, 0, static_cast<size_t>(n));
    if (z) nul_ = static_cast<size_t>(static_cast<const char*>(z) - buf_.data());
  }
  end_ += static_cast<size_t>(n);
  bytesRead_ += static_cast<uint64_t>(n);
  bytesLeft_ -= static_cast<uint64_t>(n);
  return n;
}

bool LineReader::slowNext(std::string_view* line) {
  if (fd_ < 0 || failed()) return false;
  // Where the search for "\n" resumes: a long line arriving in many small
  // reads (a pipe) is scanned once, not once per read.
  size_t from = pos_;
  for (;;) {
    const char* start = buf_.data() + pos_;
    const char* nl = static_cast<const char*>(std::memchr(buf_.data() + from, '\n', end_ - from));
    const char* stop = nl ? nl : buf_.data() + end_;
    if (nul_ <= static_cast<size_t>(stop - buf_.data())) {
      ++line_;
      error_ = fileName_ + ":" + std::to_string(line_) +
               ": NUL byte in the line (binary data, not a text dump?)";
      return false;
    }
    if (nl) {
      pos_ = static_cast<size_t>(nl - buf_.data()) + 1;
      ++line_;
      *line = trimEnd(start, nl);
      return !sawCr_ || noBareCr(*line);
    }
    if (end_ - pos_ > maxLine_) {
      error_ = fileName_ + ":" + std::to_string(line_ + 1) + ": line is longer than " +
               std::to_string(maxLine_) + " bytes";
      return false;
    }
    if (eof_) {
      if (pos_ == end_) return false;
      // The last line has no "\n".
      ++line_;
      unterminated_ = true;
      *line = trimEnd(start, buf_.data() + end_);
      pos_ = end_;
      return !sawCr_ || noBareCr(*line);
    }
    // Keep the partial line and read more behind it.
    if (pos_ > 0) {
      std::memmove(buf_.data(), buf_.data() + pos_, end_ - pos_);
      end_ -= pos_;
      if (nul_ != kNoNul) nul_ -= pos_;
      pos_ = 0;
    }
    from = end_;
    long n = fill();
    if (n < 0) return false;
    if (n == 0) eof_ = true;
  }
}

bool LineReader::noBareCr(std::string_view line) {
  if (!std::memchr(line.data(), '\r', line.size())) return true;
  error_ = lineError(
      "carriage return inside the line (lines must end in a line feed; old Mac line ends?)");
  return false;
}

std::string LineReader::lineError(std::string_view problem) const {
  std::string msg = fileName_ + ":" + std::to_string(line_) + ": ";
  msg += problem;
  if (unterminated_) msg += " (the file ends inside this line: is it truncated?)";
  return msg;
}

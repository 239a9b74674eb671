#include "pairs/pairs_file.h"

#include "fabric/text/scan.h"

std::string stageLine(uint32_t number) {
  return "STAGE " + std::to_string(number);
}

std::string pairLine(const IBPort& src, const IBPort& dst, uint16_t lid) {
  std::string line = src.getName();
  line += ' ';
  line += dst.getName();
  if (lid != 0) {
    char text[16];
    std::snprintf(text, sizeof text, " 0x%04x", static_cast<unsigned>(lid));
    line += text;
  }
  return line;
}

size_t countPairLines(std::string_view text) {
  size_t pairs = 0;
  while (!text.empty()) {
    const size_t eol = text.find('\n');
    std::string_view line = text.substr(0, eol);
    while (!line.empty() && isBlank(line.front())) line.remove_prefix(1);
    const bool stage = line.substr(0, 5) == "STAGE" && (line.size() == 5 || isBlank(line[5]));
    if (!isBlankOrComment(line) && !stage) ++pairs;
    if (eol == std::string_view::npos) break;
    text.remove_prefix(eol + 1);
  }
  return pairs;
}

PairsFileWriter::PairsFileWriter(const std::string& fileName, bool flushEachLine)
    : out_(std::fopen(fileName.c_str(), "w")), flushEachLine_(flushEachLine), ok_(out_ != nullptr) {
  // The header's lines are flushed one by one as well.
  std::string_view header = kPairsFileHeader;
  while (ok_ && !header.empty()) {
    const size_t eol = header.find('\n');
    writeLine(header.substr(0, eol));
    header.remove_prefix(eol + 1);
  }
}

PairsFileWriter::~PairsFileWriter() {
  if (out_) std::fclose(out_);
}

bool PairsFileWriter::writeLine(std::string_view line) {
  ok_ = ok_ && std::fwrite(line.data(), 1, line.size(), out_) == line.size() &&
        std::fputc('\n', out_) != EOF && (!flushEachLine_ || std::fflush(out_) == 0);
  return ok_;
}

bool PairsFileWriter::close() {
  if (!out_) return false;
  // A failed flush at close is a failed write too.
  const bool closed = std::fclose(out_) == 0;
  out_ = nullptr;
  ok_ = ok_ && closed;
  return ok_;
}

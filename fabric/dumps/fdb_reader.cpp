// Forwarding-table (FDB) reader: sections of "LID -> egress port" rows, one
// per switch and table, in the routing-dump layout ("... Switch 0x<GUID>",
// rows "0x0001 : 011  : 02   : yes") or the LFT-dump layout ("Unicast lids
// [...] ... guid 0x<GUID> ...", rows "0x0001 011 : (...)"), mixed freely.
//
// Files run to gigabytes, so rows go through a tight hand scanner into one
// 64K-entry scratch table; a section's table is copied out at its end at
// exactly its length, keeping memory near one byte per entry.
//
// The name may also be a folder, as collection scripts keep one dump per
// switch: its regular files are read in byte-wise name order as one dump.
// Lines with "iberror:" (a table read that failed part way) are warnings.
//
// A large file is read on all cores. It is cut into pieces at section headers
// (a header line resets everything but the record of which tables were
// already filled), each piece is parsed on its own into finished tables and
// warnings with line numbers counted from the piece's start, and the pieces
// are then taken in file order: line numbers are shifted by the lines of the
// pieces before, and the second-section check runs on the merged record. The
// first piece that fails, by its own error or by a second section, is read
// once more by the one-thread reader, starting at its first line with the
// record of the pieces before: what that reports is, line for line, what
// reading the whole file in one thread reports.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "fabric/dumps/readers.h"
#include "fabric/dumps/switch_header.h"
#include "fabric/fabric.h"
#include "fabric/text/line_reader.h"
#include "fabric/text/scan.h"

namespace {

// Scratch value of a LID that no row of the section listed yet.
constexpr uint16_t kUnlisted = 0xFFFF;

enum class Layout { kRoutes, kLfts };

struct Section {
  IBNode* sw = nullptr;
  int table = 0;
  Layout layout = Layout::kRoutes;
  bool anyRow = false;
  uint32_t minLid = 0;
  uint32_t maxLid = 0;
  size_t headerLine = 0;
};

// What parsing one piece of a file on its own gives; line numbers count from
// the piece's first line (1).
struct Piece {
  uint64_t begin = 0;
  uint64_t end = 0;
  size_t lines = 0;  // lines of the piece, when it did not fail
  bool failed = false;
  struct Table {
    IBNode* sw;
    int table;
    size_t headerLine;
    std::vector<uint8_t> lft;
  };
  std::vector<Table> tables;  // in file order
  struct Warning {
    size_t line;
    std::string problem;
  };
  std::vector<Warning> warnings;  // in file order
};

class FdbLoader {
 public:
  // Finished tables go into the fabric and warnings to warnings (standard
  // error when null) as they are read; or, for a piece (collectInto), they
  // are collected in the piece and the second-section check is left to
  // commit().
  FdbLoader(IBFabric& fabric, const GuidMap<IBNode*>& byGuid, std::vector<std::string>* warnings)
      : fabric_(fabric),
        warnings_(warnings),
        byGuid_(byGuid),
        tablesSeen_(fabric.nodes().size()),
        scratch_(size_t{1} << 16, kUnlisted) {}

  // From now on, collects into piece (see above). A loader whose readFile
  // failed is left inside a section and must not read on.
  void collectInto(Piece* piece) { piece_ = piece; }

  // Reads one file of the dump (or one piece); a section ends with its file.
  bool readFile(LineReader& in, std::string* err);
  // Takes in a piece parsed on its own whose first line is line
  // linesBefore + 1 of fileName: false, with nothing taken in, when the piece
  // failed or holds a second section for a table already filled.
  bool commit(Piece& piece, const std::string& fileName, size_t linesBefore);
  // After the last file: false when the whole dump had no section.
  bool finish(const std::string& dumpName, std::string* err);

 private:
  bool fail(std::string_view problem) {
    error_ = in_->lineError(problem);
    return false;
  }
  void warn(std::string_view problem);
  void report(std::string msg);
  bool row(std::string_view line);
  bool fastRow(std::string_view line);
  void store(uint16_t& slot, uint16_t port, uint32_t lid);
  bool header(const SwitchHeader& h, Layout layout);
  void finishSection();
  void fillTable(IBNode* sw, int table, std::vector<uint8_t> lft);

  IBFabric& fabric_;
  std::vector<std::string>* warnings_;  // null: print on standard error
  Piece* piece_ = nullptr;
  LineReader* in_ = nullptr;
  const GuidMap<IBNode*>& byGuid_;
  // Per node, bit t: table t already had a section in this dump.
  std::vector<uint16_t> tablesSeen_;
  // Egress port per LID for the current section, kUnlisted where no row.
  std::vector<uint16_t> scratch_;
  Section cur_;
  bool anySection_ = false;
  std::string error_;
};

void FdbLoader::store(uint16_t& slot, uint16_t port, uint32_t lid) {
  slot = port;
  if (!cur_.anyRow) {
    cur_.anyRow = true;
    cur_.minLid = cur_.maxLid = lid;
  } else if (lid > cur_.maxLid) {
    cur_.maxLid = lid;
  } else if (lid < cur_.minLid) {
    cur_.minLid = lid;
  }
}

// The shapes nearly every row has, "0xLLLL : PPP  : ..." and "0xLLLL PPP ...":
// four hex digits, one layout's separator, three decimal digits. Returns
// false, having stored nothing, for anything else (including every row in
// error), which row() then reads the general way.
inline bool FdbLoader::fastRow(std::string_view line) {
  const auto* s = reinterpret_cast<const unsigned char*>(line.data());
  const auto* end = s + line.size();
  const unsigned char* p;
  if (cur_.layout == Layout::kRoutes) {
    if (line.size() < 12 || s[6] != ' ' || s[7] != ':' || s[8] != ' ') return false;
    p = s + 9;
  } else {
    if (line.size() < 10 || s[6] != ' ') return false;
    p = s + 7;
  }
  int h0 = kHexValue[s[2]], h1 = kHexValue[s[3]], h2 = kHexValue[s[4]], h3 = kHexValue[s[5]];
  unsigned d0 = p[0] - unsigned{'0'}, d1 = p[1] - unsigned{'0'}, d2 = p[2] - unsigned{'0'};
  if ((h0 | h1 | h2 | h3) < 0 || d0 > 9 || d1 > 9 || d2 > 9) return false;
  p += 3;
  if (p < end) {
    if (!isBlank(*p)) return false;
    if (cur_.layout == Layout::kRoutes && !(end - p >= 3 && p[1] == ' ' && p[2] == ':')) {
      while (p < end && isBlank(*p)) ++p;
      if (p < end && *p != ':') return false;
    }
  }
  unsigned port = d0 * 100 + d1 * 10 + d2;
  if (!cur_.sw || (port > cur_.sw->portCount && port != kLftNoEntry)) return false;
  uint32_t lid = static_cast<uint32_t>(h0 << 12 | h1 << 8 | h2 << 4 | h3);
  uint16_t& slot = scratch_[lid];
  if (slot != kUnlisted) return false;
  store(slot, static_cast<uint16_t>(port), lid);
  return true;
}

bool FdbLoader::row(std::string_view line) {
  const char* p = line.data() + 2;  // past "0x"
  const char* end = line.data() + line.size();
  uint64_t lid;
  NumScan r = scanHex(&p, end, 0xFFFF, &lid);
  std::string_view lidText(line.data(), static_cast<size_t>(p - line.data()));
  if (r == NumScan::kNoDigits) return fail("LID: hexadecimal number expected after '0x'");
  if (r == NumScan::kTooLarge)
    return fail("LID " + echoText(lidText) + " is too large for 16 bits");
  if (!cur_.sw) return fail("row before any switch header");
  uint64_t port = kLftNoEntry;
  bool unreachable = false;
  if (cur_.layout == Layout::kRoutes) {
    if (!skipColon(&p, end)) return fail("expected ' : ' after the LID");
    std::string_view rest(p, static_cast<size_t>(end - p));
    if (rest.starts_with("UNREACHABLE") && (rest.size() == 11 || isBlank(rest[11]))) {
      unreachable = true;
    }
  } else {
    if (p == end || !isBlank(*p)) return fail("expected blanks and the egress port after the LID");
    while (p < end && isBlank(*p)) ++p;
  }
  if (!unreachable) {
    const char* portText = p;
    r = scanDec(&p, end, 255, &port);
    if (r == NumScan::kNoDigits) {
      return fail(cur_.layout == Layout::kRoutes
                      ? "expected an egress port or UNREACHABLE after ' : '"
                      : "expected the egress port (decimal) after the LID");
    }
    // The port ends at a blank or the end of the line ("0x01", "1.9" and
    // "002abc" are no ports); in the routing dump the next column follows.
    bool ended = p == end || isBlank(*p);
    if (ended && cur_.layout == Layout::kRoutes) {
      const char* q = p;
      while (q < end && isBlank(*q)) ++q;
      ended = q == end || *q == ':';
    }
    if (!ended) {
      const char* stop = p;
      while (stop < end && !isBlank(*stop)) ++stop;
      return fail("egress port '" + echoText(std::string_view(portText, stop - portText)) +
                  "': a decimal number followed by a blank expected");
    }
    if (r == NumScan::kTooLarge || (port > cur_.sw->portCount && port != kLftNoEntry)) {
      return fail("egress port " + echoText(std::string_view(portText, p - portText)) +
                  " is above the switch's " + std::to_string(cur_.sw->portCount) + " ports");
    }
  }
  uint16_t& slot = scratch_[lid];
  if (slot != kUnlisted) return fail("LID " + echoText(lidText) + " listed twice in this section");
  store(slot, static_cast<uint16_t>(port), static_cast<uint32_t>(lid));
  return true;
}

void FdbLoader::fillTable(IBNode* sw, int table, std::vector<uint8_t> lft) {
  std::vector<std::vector<uint8_t>>& lfts = sw->lfts;
  if (lfts.size() <= static_cast<size_t>(table)) lfts.resize(table + 1);
  lfts[table] = std::move(lft);
  sw->filledTables |= static_cast<uint16_t>(1u << table);
}

void FdbLoader::finishSection() {
  if (!cur_.sw) return;
  std::vector<uint8_t> table;
  if (cur_.anyRow) {
    table.assign(size_t{cur_.maxLid} + 1, kLftNoEntry);
    for (uint32_t l = cur_.minLid; l <= cur_.maxLid; ++l) {
      if (scratch_[l] != kUnlisted) {
        table[l] = static_cast<uint8_t>(scratch_[l]);
        scratch_[l] = kUnlisted;
      }
    }
  }
  if (piece_) {
    piece_->tables.push_back({cur_.sw, cur_.table, cur_.headerLine, std::move(table)});
  } else {
    fillTable(cur_.sw, cur_.table, std::move(table));
  }
  cur_ = Section{};
}

bool FdbLoader::header(const SwitchHeader& h, Layout layout) {
  finishSection();
  std::string problem;
  IBNode* sw;
  if (!lookUpSwitch(byGuid_, h.guid, &sw, &problem)) return fail(problem);
  if (h.table > 0) {
    bool used = false;
    for (unsigned p = 1; p < sw->ingressTable.size(); ++p) used |= sw->ingressTable[p] == h.table;
    if (!used) {
      return fail("switch " + guidText(h.guid) + " (" + echoText(sw->nodeName) +
                  ") has no ingress port" + " mapped to table " + std::to_string(h.table) +
                  " in the private table file");
    }
  }
  if (!piece_) {
    uint16_t& seen = tablesSeen_[static_cast<size_t>(sw - fabric_.nodes().data())];
    if (seen & (1u << h.table)) {
      return fail("second section for switch " + guidText(h.guid) + " (" + echoText(sw->nodeName) +
                  ") table " + std::to_string(h.table));
    }
    seen = static_cast<uint16_t>(seen | (1u << h.table));
  }
  cur_.headerLine = in_->lineNumber();
  cur_.sw = sw;
  cur_.table = h.table;
  cur_.layout = layout;
  anySection_ = true;
  return true;
}

// A trailer "N lids dumped" / "N valid lids dumped" of the LFT-dump layout.
bool isTrailer(std::string_view line) {
  const char* p = line.data();
  uint64_t n;
  if (scanDec(&p, line.data() + line.size(), ~uint64_t{0}, &n) != NumScan::kOk) return false;
  std::string_view rest(p, static_cast<size_t>(line.data() + line.size() - p));
  return hasWords(rest, {"lids", "dumped"}) || hasWords(rest, {"valid", "lids", "dumped"});
}

// Column headings of both layouts and the LFT dump's trailer: skipped.
bool isHeading(std::string_view line) {
  return hasWords(line, {"LID", ":", "Port", ":", "Hops", ":", "Optimal"}) ||
         hasWords(line, {"Lid", "Out", "Destination"}) || hasWords(line, {"Port", "Info"}) ||
         isTrailer(line);
}

void FdbLoader::warn(std::string_view problem) {
  if (piece_) {
    piece_->warnings.push_back({in_->lineNumber(), std::string(problem)});
    return;
  }
  report(in_->fileName() + ":" + std::to_string(in_->lineNumber()) +
         ": warning: " + std::string(problem));
}

void FdbLoader::report(std::string msg) {
  if (warnings_) {
    warnings_->push_back(std::move(msg));
  } else {
    std::fprintf(stderr, "%s\n", msg.c_str());
    std::fflush(stderr);
  }
}

// What the diagnostics print into their output when a table read fails.
bool isIbError(std::string_view line) {
  return line.find("iberror:") != std::string_view::npos;
}

// True for a line that readFile takes as a section header (well formed or
// not): the lines where a file may be cut into pieces. The tests mirror
// readFile's order: rows, blank lines and comments, "iberror:" lines,
// "Unicast lids [" headers, headings, then "Switch 0x" headers.
bool startsSection(std::string_view line) {
  if (line.size() > 2 && line[0] == '0' && line[1] == 'x') return false;
  if (isBlankOrComment(line) || isIbError(line)) return false;
  if (line.starts_with("Unicast lids [")) return true;
  return !isHeading(line) && line.find("Switch 0x") != std::string_view::npos;
}

bool FdbLoader::readFile(LineReader& in, std::string* err) {
  in_ = &in;
  error_.clear();
  std::string_view line;
  while (in.next(&line)) {
    // Rows first: they are nearly every line of a big file.
    if (line.size() > 2 && line[0] == '0' && line[1] == 'x') {
      if (fastRow(line) || row(line)) continue;
      if (!isIbError(line)) break;
      error_.clear();
    }
    if (isBlankOrComment(line)) continue;
    if (isIbError(line)) {
      warn("the diagnostic reports a failed table read; LIDs it left out have no entry: " +
           echoText(line));
      continue;
    }
    SwitchHeader h;
    std::string problem;
    if (line.starts_with("Unicast lids [")) {
      if (!parseUnicastHeader(line, &h, &problem)) {
        fail(problem);
        break;
      }
      if (!header(h, Layout::kLfts)) break;
      continue;
    }
    if (isHeading(line)) continue;
    if (parseSwitchHeader(line, /*allowPlft=*/true, &h, &problem)) {
      if (!header(h, Layout::kRoutes)) break;
      continue;
    }
    fail(problem.empty() ? "unrecognised line: expected a switch header, a row '0x<LID> ...',"
                           " a column heading or a comment"
                         : problem);
    break;
  }
  if (!error_.empty()) {
    *err = error_;
    return false;
  }
  if (in.failed()) {
    *err = in.error();
    return false;
  }
  finishSection();
  return true;
}

bool FdbLoader::commit(Piece& piece, const std::string& fileName, size_t linesBefore) {
  if (piece.failed) return false;
  // Mark the piece's tables, undoing the marks when one was filled before.
  size_t marked = 0;
  for (; marked < piece.tables.size(); ++marked) {
    const Piece::Table& t = piece.tables[marked];
    uint16_t& seen = tablesSeen_[static_cast<size_t>(t.sw - fabric_.nodes().data())];
    if (seen & (1u << t.table)) break;
    seen = static_cast<uint16_t>(seen | (1u << t.table));
  }
  if (marked < piece.tables.size()) {
    while (marked-- > 0) {
      const Piece::Table& t = piece.tables[marked];
      tablesSeen_[static_cast<size_t>(t.sw - fabric_.nodes().data())] &=
          static_cast<uint16_t>(~(1u << t.table));
    }
    return false;
  }
  for (Piece::Table& t : piece.tables) fillTable(t.sw, t.table, std::move(t.lft));
  anySection_ |= !piece.tables.empty();
  for (const Piece::Warning& w : piece.warnings)
    report(fileName + ":" + std::to_string(linesBefore + w.line) + ": warning: " + w.problem);
  return true;
}

bool FdbLoader::finish(const std::string& dumpName, std::string* err) {
  if (!anySection_) {
    *err = dumpName + ": no switch section found (not a forwarding-table file?)";
    return false;
  }
  return true;
}

// The regular files of a folder (links to regular files count), in
// byte-wise order of their names.
bool folderFiles(const std::string& dir, std::vector<std::string>* files, std::string* err) {
  namespace fs = std::filesystem;
  std::error_code ec;
  std::vector<std::string> names;
  for (fs::directory_iterator it(dir, ec), stop; !ec && it != stop; it.increment(ec)) {
    if (it->is_regular_file(ec)) names.push_back(it->path().filename().string());
  }
  if (ec) {
    *err = dir + ": cannot list the folder: " + ec.message();
    return false;
  }
  std::sort(names.begin(), names.end());
  std::string prefix = dir;
  if (prefix.back() != '/') prefix += '/';
  for (const std::string& n : names) files->push_back(prefix + n);
  if (files->empty()) {
    *err = dir + ": the folder holds no file";
    return false;
  }
  return true;
}

// Offset of the first line at or after from that starts a section, or size
// when no line does. Lines longer than a block are never taken.
uint64_t nextSectionStart(int fd, uint64_t from, uint64_t size) {
  constexpr size_t kBlock = size_t{1} << 16;
  std::vector<char> buf(kBlock);
  // at: where the next block is read; lineStart: whether a line begins there.
  uint64_t at = from == 0 ? 0 : from - 1;
  bool lineStart = from == 0;
  while (at < size) {
    ssize_t n;
    do {
      n = pread(fd, buf.data(), std::min<uint64_t>(kBlock, size - at), static_cast<off_t>(at));
    } while (n < 0 && errno == EINTR);
    if (n <= 0) return size;
    const char* b = buf.data();
    const char* e = b + n;
    const char* p = b;
    if (!lineStart) {
      const char* nl = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(e - p)));
      if (!nl) {
        at += static_cast<uint64_t>(n);
        continue;
      }
      p = nl + 1;
      lineStart = true;
    }
    for (;;) {
      const char* nl = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(e - p)));
      if (!nl) {
        if (at + static_cast<uint64_t>(n) == size) {
          // The last line, without a "\n".
          bool cut = p < e && startsSection(LineReader::trimEnd(p, e));
          return cut ? at + static_cast<uint64_t>(p - b) : size;
        }
        if (p == b) {  // a line longer than the block
          lineStart = false;
          at += static_cast<uint64_t>(n);
        } else {
          at += static_cast<uint64_t>(p - b);
        }
        break;
      }
      if (startsSection(LineReader::trimEnd(p, nl))) return at + static_cast<uint64_t>(p - b);
      p = nl + 1;
    }
  }
  return size;
}

// Cuts fileName into pieces of about pieceBytes bytes, each but the first
// starting at a section header. Nothing (to be read in one piece) when the
// file is no regular file, is smaller than two pieces or has no cut.
std::vector<Piece> cutIntoPieces(const std::string& fileName, uint64_t pieceBytes) {
  std::vector<Piece> pieces;
  int fd = ::open(fileName.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return pieces;
  struct stat st;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0 &&
      static_cast<uint64_t>(st.st_size) / 2 >= pieceBytes) {
    uint64_t size = static_cast<uint64_t>(st.st_size);
    uint64_t count = size / pieceBytes;
    uint64_t begin = 0;
    for (uint64_t k = 1; k <= count && begin < size; ++k) {
      uint64_t end =
          k == count ? size : nextSectionStart(fd, std::max(begin + 1, size / count * k), size);
      Piece piece;
      piece.begin = begin;
      piece.end = end;
      pieces.push_back(std::move(piece));
      begin = end;
    }
    if (pieces.size() < 2) pieces.clear();
  }
  close(fd);
  return pieces;
}

// Parses every piece on up to threads threads. A piece after one that
// failed is passed over (it stays failed: never parsed).
void parsePieces(IBFabric& fabric, const GuidMap<IBNode*>& byGuid, const std::string& fileName,
                 std::vector<Piece>& pieces, unsigned threads) {
  std::atomic<size_t> next{0};
  std::atomic<size_t> firstFailed{pieces.size()};
  auto work = [&] {
    FdbLoader loader(fabric, byGuid, nullptr);
    for (size_t i; (i = next.fetch_add(1)) < pieces.size();) {
      if (i > firstFailed.load()) continue;
      Piece& piece = pieces[i];
      loader.collectInto(&piece);
      LineReader in;
      std::string err;
      piece.failed =
          !in.openRange(fileName, piece.begin, piece.end, 0, &err) || !loader.readFile(in, &err);
      piece.lines = in.lineNumber();
      if (piece.failed) {
        size_t f = firstFailed.load();
        while (i < f && !firstFailed.compare_exchange_weak(f, i)) {
        }
        // Every piece this thread would take next comes after this one and
        // is never used (and the loader is left inside a section).
        return;
      }
    }
  };
  std::vector<std::thread> helpers;
  for (unsigned t = 1; t < threads && t < pieces.size(); ++t) {
    try {
      helpers.emplace_back(work);
    } catch (const std::system_error&) {
      break;  // fewer threads: the work gets done all the same
    }
  }
  work();
  for (std::thread& t : helpers) t.join();
}

// Reads one file of the dump in pieces (see the top of the file).
bool readInPieces(FdbLoader& loader, IBFabric& fabric, const GuidMap<IBNode*>& byGuid,
                  const std::string& fileName, std::vector<Piece>& pieces, unsigned threads,
                  std::string* err) {
  for (Piece& piece : pieces) piece.failed = true;
  parsePieces(fabric, byGuid, fileName, pieces, threads);
  size_t linesBefore = 0;
  for (Piece& piece : pieces) {
    if (loader.commit(piece, fileName, linesBefore)) {
      linesBefore += piece.lines;
      piece = Piece{};
      continue;
    }
    LineReader in;
    if (!in.openRange(fileName, piece.begin, piece.end, linesBefore, err) ||
        !loader.readFile(in, err)) {
      return false;
    }
    linesBefore = in.lineNumber();
  }
  return true;
}

// readFdbFile up to the clean-up after a failure.
bool loadDump(IBFabric& fabric, const std::string& fileName, std::string* err,
              std::vector<std::string>* warnings, const FdbReadOptions& options) {
  struct stat st;
  bool folder = stat(fileName.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
  std::vector<std::string> files;
  if (!folder) {
    files.push_back(fileName);
  } else if (!folderFiles(fileName, &files, err)) {
    return false;
  }
  unsigned threads = options.threads;
  if (threads == 0) threads = std::clamp(std::thread::hardware_concurrency(), 1u, 16u);
  uint64_t pieceBytes = options.pieceBytes ? options.pieceBytes : uint64_t{16} << 20;
  GuidMap<IBNode*> byGuid = nodesByGuid(fabric);
  FdbLoader loader(fabric, byGuid, warnings);
  if (options.pieces) *options.pieces = 0;
  for (const std::string& file : files) {
    std::vector<Piece> pieces;
    if (threads > 1) pieces = cutIntoPieces(file, pieceBytes);
    if (options.pieces) *options.pieces += std::max<size_t>(pieces.size(), 1);
    if (!pieces.empty()) {
      if (!readInPieces(loader, fabric, byGuid, file, pieces, threads, err)) return false;
      continue;
    }
    LineReader in;
    if (!in.open(file, err) || !loader.readFile(in, err)) return false;
    if (in.bytesRead() == 0 && !folder) {
      *err = file + ": the file is empty";
      return false;
    }
  }
  return loader.finish(fileName, err);
}

}  // namespace

bool readFdbFile(IBFabric& fabric, const std::string& fileName, std::string* err,
                 std::vector<std::string>* warnings, const FdbReadOptions& options) {
  if (loadDump(fabric, fileName, err, warnings, options)) return true;
  // Which sections before the error were stored depends on where the file
  // was cut (a piece ends its last section, a malformed header would not
  // have): leave no table rather than some.
  for (IBNode& node : fabric.nodes()) {
    node.lfts.clear();
    node.filledTables = 0;
  }
  return false;
}

bool readFdbFile(IBFabric& fabric, const std::string& fileName, std::string* err,
                 std::vector<std::string>* warnings) {
  return readFdbFile(fabric, fileName, err, warnings, FdbReadOptions{});
}

bool readFdbFile(IBFabric& fabric, const std::string& fileName, std::string* err) {
  return readFdbFile(fabric, fileName, err, nullptr);
}

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

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "fabric/fabric.h"
#include "fabric/line_reader.h"

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
};

class FdbLoader {
 public:
  FdbLoader(IBFabric& fabric, std::vector<std::string>* warnings)
      : fabric_(fabric),
        warnings_(warnings),
        byGuid_(nodesByGuid(fabric)),
        tablesSeen_(fabric.nodes().size()),
        scratch_(size_t{1} << 16, kUnlisted) {}

  // Reads one file of the dump; a section ends with its file.
  bool readFile(LineReader& in, std::string* err);
  // After the last file: false when the whole dump had no section.
  bool finish(const std::string& dumpName, std::string* err);

 private:
  bool fail(std::string_view problem) {
    error_ = in_->lineError(problem);
    return false;
  }
  void warn(std::string_view problem);
  bool row(std::string_view line);
  bool header(const SwitchHeader& h, Layout layout);
  void finishSection();

  IBFabric& fabric_;
  std::vector<std::string>* warnings_;  // null: print on standard error
  LineReader* in_ = nullptr;
  std::unordered_map<uint64_t, IBNode*> byGuid_;
  // Per node, bit t: table t already had a section in this file.
  std::vector<uint16_t> tablesSeen_;
  // Egress port per LID for the current section, kUnlisted where no row.
  std::vector<uint16_t> scratch_;
  Section cur_;
  bool anySection_ = false;
  std::string error_;
};

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
  slot = static_cast<uint16_t>(port);
  uint32_t l = static_cast<uint32_t>(lid);
  if (!cur_.anyRow) {
    cur_.anyRow = true;
    cur_.minLid = cur_.maxLid = l;
  } else if (l > cur_.maxLid) {
    cur_.maxLid = l;
  } else if (l < cur_.minLid) {
    cur_.minLid = l;
  }
  return true;
}

void FdbLoader::finishSection() {
  if (!cur_.sw) return;
  std::vector<std::vector<uint8_t>>& lfts = cur_.sw->lfts;
  if (lfts.size() <= static_cast<size_t>(cur_.table)) lfts.resize(cur_.table + 1);
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
  lfts[cur_.table] = std::move(table);
  cur_.sw->filledTables |= static_cast<uint16_t>(1u << cur_.table);
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
  uint16_t& seen = tablesSeen_[static_cast<size_t>(sw - fabric_.nodes().data())];
  if (seen & (1u << h.table)) {
    return fail("second section for switch " + guidText(h.guid) + " (" + echoText(sw->nodeName) +
                ") table " + std::to_string(h.table));
  }
  seen = static_cast<uint16_t>(seen | (1u << h.table));
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

void FdbLoader::warn(std::string_view problem) {
  std::string msg = in_->fileName() + ":" + std::to_string(in_->lineNumber()) + ": warning: ";
  msg += problem;
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

bool FdbLoader::readFile(LineReader& in, std::string* err) {
  in_ = &in;
  error_.clear();
  std::string_view line;
  while (in.next(&line)) {
    // Rows first: they are nearly every line of a big file.
    if (line.size() > 2 && line[0] == '0' && line[1] == 'x') {
      if (row(line)) continue;
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
    if (hasWords(line, {"LID", ":", "Port", ":", "Hops", ":", "Optimal"}) ||
        hasWords(line, {"Lid", "Out", "Destination"}) || hasWords(line, {"Port", "Info"}) ||
        isTrailer(line)) {
      continue;
    }
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

}  // namespace

bool readFdbFile(IBFabric& fabric, const std::string& fileName, std::string* err,
                 std::vector<std::string>* warnings) {
  struct stat st;
  bool folder = stat(fileName.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
  std::vector<std::string> files;
  if (!folder) {
    files.push_back(fileName);
  } else if (!folderFiles(fileName, &files, err)) {
    return false;
  }
  FdbLoader loader(fabric, warnings);
  for (const std::string& file : files) {
    LineReader in;
    if (!in.open(file, err) || !loader.readFile(in, err)) return false;
    if (in.bytesRead() == 0 && !folder) {
      *err = file + ": the file is empty";
      return false;
    }
  }
  return loader.finish(fileName, err);
}

bool readFdbFile(IBFabric& fabric, const std::string& fileName, std::string* err) {
  return readFdbFile(fabric, fileName, err, nullptr);
}

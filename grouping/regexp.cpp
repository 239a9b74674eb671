#include "grouping/regexp.h"

#include <cstdio>

std::string RegexMatch::subMatch(size_t n) const {
  if (n > subExprs_) return {};
  const regmatch_t& m = offsets_[n];
  if (m.rm_so < 0 || m.rm_eo < m.rm_so) return {};
  size_t start = static_cast<size_t>(m.rm_so);
  size_t end = static_cast<size_t>(m.rm_eo);
  if (end > text_.size()) return {};
  return std::string(text_.substr(start, end - start));
}

regExp::regExp(std::string_view expression, int flags) : expression_(expression) {
  status_ = regcomp(&compiled_, expression_.c_str(), flags);
  if (status_ != 0) {
    std::printf("-E- Fail to compile regular expression:%s\n", expression_.c_str());
    std::fflush(stdout);
  }
}

regExp::~regExp() {
  // A failed regcomp leaves nothing that regfree may safely release.
  if (status_ == 0) regfree(&compiled_);
}

std::optional<RegexMatch> regExp::match(const std::string& text) const {
  if (status_ != 0) return std::nullopt;
  RegexMatch m(text, compiled_.re_nsub);
  if (regexec(&compiled_, text.c_str(), m.offsets_.size(), m.offsets_.data(), 0) != 0)
    return std::nullopt;
  return m;
}

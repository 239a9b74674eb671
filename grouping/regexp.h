// A compiled POSIX regular expression and the result of one match.
#pragma once

#include <regex.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Where one text matched: offsets of the whole match and of each
// parenthesised subexpression, as regexec reports them. Refers to the text it
// was matched against, which must outlive it.
class RegexMatch {
 public:
  // The text of subexpression n (0 is the whole match); empty when the
  // expression has fewer subexpressions or n took no part in the match.
  std::string subMatch(size_t n) const;

 private:
  friend class regExp;
  RegexMatch(std::string_view text, size_t subExprs)
      : text_(text), subExprs_(subExprs), offsets_(subExprs + 1) {}

  std::string_view text_;
  size_t subExprs_;
  std::vector<regmatch_t> offsets_;  // subExprs_ + 1 entries
};

// Owns its copy of the expression text and the compiled form. A failed
// compile is reported on standard output once, here; such an object never
// matches anything.
class regExp {
 public:
  regExp(std::string_view expression, int flags);
  ~regExp();
  regExp(const regExp&) = delete;
  regExp& operator=(const regExp&) = delete;

  // What regcomp returned: 0 when the expression is usable.
  int status() const { return status_; }

  // Unanchored search of text (no execution flags). Nothing when it does not
  // match, or when the expression did not compile.
  std::optional<RegexMatch> match(const std::string& text) const;

 private:
  std::string expression_;
  regex_t compiled_;
  int status_;
};

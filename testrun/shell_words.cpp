#include "testrun/shell_words.h"

namespace {

bool plainShellChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
         c == '-' || c == '.' || c == '/' || c == ',' || c == ':' || c == '=' || c == '@' ||
         c == '+' || c == '%';
}

}  // namespace

std::string shellQuote(std::string_view text) {
  bool plain = !text.empty();
  for (char c : text) plain = plain && plainShellChar(c);
  if (plain) return std::string(text);
  std::string out = "'";
  for (char c : text) {
    if (c == '\'')
      out += "'\\''";
    else
      out += c;
  }
  out += '\'';
  return out;
}

std::string shellCommand(const std::vector<std::string>& words) {
  std::string out;
  for (const std::string& w : words) {
    if (!out.empty()) out += ' ';
    out += shellQuote(w);
  }
  return out;
}

#include "fabric/text/scan.h"

std::string echoText(std::string_view text) {
  constexpr size_t kMaxEcho = 200;
  if (text.size() <= kMaxEcho) return std::string(text);
  size_t cut = kMaxEcho;
  // Do not split a UTF-8 character: back off over continuation bytes.
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
  std::string out(text.substr(0, cut));
  out += "...";
  return out;
}

bool hasWords(std::string_view line, std::initializer_list<std::string_view> words) {
  size_t i = 0;
  for (std::string_view w : words) {
    while (i < line.size() && isBlank(line[i])) ++i;
    if (line.substr(i, w.size()) != w) return false;
    i += w.size();
    if (i < line.size() && !isBlank(line[i])) return false;
  }
  while (i < line.size() && isBlank(line[i])) ++i;
  return i == line.size();
}

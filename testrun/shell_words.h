// Shell words: every text this program puts into a command line or a script
// goes through here, so that no node name or option value can become shell
// syntax.
#pragma once

#include <string>
#include <string_view>
#include <vector>

// text as one word of a POSIX shell: bare when it holds only characters no
// shell treats specially, else single-quoted (a quote inside as '\'').
std::string shellQuote(std::string_view text);

// The words quoted and joined by single blanks.
std::string shellCommand(const std::vector<std::string>& words);

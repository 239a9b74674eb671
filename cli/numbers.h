// The two ways the programs read numbers on their command lines: linkdeal's
// own, which its users rely on, and the strict one of the other programs.
// Each program words its own messages.
#pragma once

#include <cstdint>

// linkdeal's rule, plain strtol: leading blanks and a sign are fine, trailing
// text is ignored and text without digits reads as 0. Callers keep the low
// bits they need.
long readLinkdealNumber(const char* text);

// The companion programs' rule: a whole decimal number from 0 to max and
// nothing else (no blank, sign or trailing text). False when text is not one.
bool readWholeNumber(const char* text, uint64_t max, uint64_t* value);

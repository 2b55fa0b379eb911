// Reading an AutoStart value as a number: the classic leading-number parse, which takes
// what looks like a number at the start of a text and ignores the rest.
#pragma once

#include <string_view>

namespace tavrik {

// Blanks, tabs and line feeds are ignored wherever they stand. Then an optional sign,
// digits, an optional decimal point (always ".") with digits and an optional exponent
// ("E" or "e", optional sign, digits) are read up to the first character that does not
// fit; "&H" and "&O" introduce hexadecimal and octal digits instead. No number at all
// gives 0. A magnitude beyond double gives an infinity, one too small for it gives 0.
// Hexadecimal and octal digits are read unsigned, so "&HFFFF" is 65535, not -1: what a
// request needs is zero or not, and that is the same either way.
double LeadingNumber(std::string_view text);

// An AutoStart request is on when its value reads as a number other than 0.
inline bool RequestOn(std::string_view value) { return LeadingNumber(value) != 0; }

}  // namespace tavrik

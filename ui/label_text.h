// Text shown in a one-line label. File names on Linux are bytes, not necessarily UTF-8, and
// may hold control characters; a label must still show every character it can.
#pragma once

#include <string>
#include <string_view>

namespace qm::ui {

// Valid UTF-8 for a one-line label: well-formed sequences are kept; each byte of an invalid
// sequence (stray continuation, overlong form, surrogate, beyond U+10FFFF, cut short) becomes
// U+FFFD; a tab becomes a blank; other C0 and C1 control characters and DEL become U+FFFD.
std::string DisplayText(std::string_view bytes);

} // namespace qm::ui

// File names as zbhost shows them: in messages, reports, JSON and pictures.
#pragma once

#include <string>

namespace zbhost {

// True when `text` is valid UTF-8: no stray or missing continuation bytes, overlong forms,
// surrogates or code points beyond U+10FFFF.
bool IsValidUtf8(const std::string& text);

// `path` as valid UTF-8: a name that is valid UTF-8 is itself; in any other, each byte that
// is not part of a valid UTF-8 sequence is written as \xHH and a backslash as \\, so that
// every byte can still be told from the text.
std::string DisplayName(const std::string& path);

}  // namespace zbhost

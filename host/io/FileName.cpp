// File names shown as valid UTF-8.
#include "host/io/FileName.h"

#include <cstdint>
#include <iterator>

#include <fmt/format.h>

namespace zbhost {

namespace {

constexpr unsigned char kContinuationMask = 0xC0;
constexpr unsigned char kContinuation = 0x80;
constexpr unsigned char kAscii = 0x80;   // bytes below stand for themselves
constexpr uint32_t kSurrogateFirst = 0xD800;
constexpr uint32_t kSurrogateLast = 0xDFFF;
constexpr uint32_t kLastCodePoint = 0x10FFFF;
constexpr int kBitsPerContinuation = 6;

// Leading bytes of 2-, 3- and 4-byte sequences: the mask, the pattern, the payload bits and
// the smallest code point the length may carry (no overlong forms).
struct Lead {
  unsigned char mask;
  unsigned char pattern;
  unsigned char payload;
  uint32_t least;
};
constexpr Lead kLeads[] = {{0xE0, 0xC0, 0x1F, 0x80}, {0xF0, 0xE0, 0x0F, 0x800}, {0xF8, 0xF0, 0x07, 0x10000}};

// Bytes of the valid UTF-8 sequence at `at`; 0 when there is none.
size_t SequenceLength(const std::string& text, size_t at) {
  const auto first = static_cast<unsigned char>(text[at]);
  if (first < kAscii) return 1;
  for (size_t extra = 1; extra <= std::size(kLeads); ++extra) {
    const Lead& lead = kLeads[extra - 1];
    if ((first & lead.mask) != lead.pattern) continue;
    if (at + extra >= text.size()) return 0;
    uint32_t code = first & lead.payload;
    for (size_t i = 1; i <= extra; ++i) {
      const auto next = static_cast<unsigned char>(text[at + i]);
      if ((next & kContinuationMask) != kContinuation) return 0;
      code = (code << kBitsPerContinuation) | (next & static_cast<unsigned char>(~kContinuationMask));
    }
    const bool surrogate = code >= kSurrogateFirst && code <= kSurrogateLast;
    return code < lead.least || surrogate || code > kLastCodePoint ? 0 : extra + 1;
  }
  return 0;
}

}  // namespace

bool IsValidUtf8(const std::string& text) {
  for (size_t at = 0; at < text.size();) {
    const size_t length = SequenceLength(text, at);
    if (length == 0) return false;
    at += length;
  }
  return true;
}

std::string DisplayName(const std::string& path) {
  if (IsValidUtf8(path)) return path;
  std::string shown;
  for (size_t at = 0; at < path.size();) {
    const size_t length = SequenceLength(path, at);
    if (length == 0) {
      shown += fmt::format("\\x{:02X}", static_cast<unsigned char>(path[at]));
      ++at;
    } else {
      // A backslash of the name's own is doubled, so that it cannot pass for an escape.
      shown += path[at] == '\\' ? std::string("\\\\") : path.substr(at, length);
      at += length;
    }
  }
  return shown;
}

}  // namespace zbhost

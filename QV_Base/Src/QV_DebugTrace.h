// DebugTrace: printf-style diagnostic text for the debugger output, cut to 2047 characters.
#pragma once

namespace zbbase {

inline constexpr int kDebugTraceBytes = 2048;

void DebugTrace(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace zbbase

// DebugTrace: formats into a stack buffer and hands it to the debugger output.
#include "QV_Base/Src/QV_DebugTrace.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "QV_Base/Src/Platform.h"

namespace zbbase {

void DebugTrace(const char* format, ...) {
  // A text without conversions that fits is passed on as it stands: formatting would only
  // copy it (the decoder's per-frame lines are such texts).
  if (std::strchr(format, '%') == nullptr && std::strlen(format) < static_cast<size_t>(kDebugTraceBytes)) {
    zbplat::DebugOutput(format);
    return;
  }
  char buffer[kDebugTraceBytes];
  va_list args;
  va_start(args, format);
  // vsnprintf always terminates, so an over-long message keeps its first 2047 characters.
  std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  zbplat::DebugOutput(buffer);
}

}  // namespace zbbase

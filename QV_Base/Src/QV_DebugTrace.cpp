// DebugTrace: formats into a stack buffer and hands it to the debugger output.
#include "QV_Base/Src/QV_DebugTrace.h"

#include <cstdarg>
#include <cstdio>

#include "QV_Base/Src/Platform.h"

namespace zbbase {

void DebugTrace(const char* format, ...) {
  char buffer[kDebugTraceBytes];
  va_list args;
  va_start(args, format);
  // vsnprintf always terminates, so an over-long message keeps its first 2047 characters.
  std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  zbplat::DebugOutput(buffer);
}

}  // namespace zbbase

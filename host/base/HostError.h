// The host's failure report: one exception type carrying the message for standard error
// and the process exit status that belongs to the kind of failure.
#pragma once

#include <stdexcept>
#include <string>

namespace zbhost {

// Process exit statuses; each kind of bad input has its own.
enum ExitStatus : int {
  kExitOk = 0,
  kExitHostFault = 1,      // zbhost itself failed (out of memory, say), not the library
  kExitUsage = 2,          // bad command line or option value
  kExitInput = 3,          // input file missing, unreadable, empty or of an unsupported format
  kExitLibrary = 4,        // library not loadable, or lacking an export or an interface
  kExitOutput = 5,         // output file could not be written
  kExitLibraryFault = 6,   // the library misbehaved while streaming (refused frames, leaks)
};

class HostError : public std::runtime_error {
 public:
  HostError(ExitStatus status, const std::string& message)
      : std::runtime_error(message), m_status(status) {}
  ExitStatus status() const { return m_status; }

 private:
  ExitStatus m_status;
};

}  // namespace zbhost

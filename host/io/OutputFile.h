// Where a result goes: a new or existing file, a device, a FIFO or standard output ("-").
// The target is opened and checked before any work, so a mistake costs nothing, and it is
// written the way Unix tools write: through symbolic links, in place on devices and FIFOs,
// keeping an existing file's links and mode. The input itself, directories and read-only
// files are refused.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace zbhost {

inline constexpr char kStdStreamName[] = "-";

// A file the run reads or writes, identified by device and inode so that another name for
// it (a symbolic or hard link, /dev/stdout) is recognised.
struct FileIdentity {
  dev_t device = 0;
  ino_t inode = 0;
  bool operator==(const FileIdentity& other) const {
    return device == other.device && inode == other.inode;
  }
};

// A file the run already reads or writes, and what it is to the run ("the input").
struct TakenFile {
  FileIdentity identity;
  std::string role;
};

// Adds the input `path` ("-" for standard input) to `taken` when it exists.
void TakeInput(const std::string& path, std::vector<TakenFile>& taken);

class OutputFile {
 public:
  OutputFile() = default;
  // Opens `path` for writing as `role` ("the audio output"). `taken` lists the files the
  // run already reads or writes; writing onto one of them is refused, and the new target
  // joins the list. `binary` refuses a terminal as the target. Throws HostError (output).
  static OutputFile Open(const std::string& path, const std::string& role,
                         std::vector<TakenFile>& taken, bool binary);
  OutputFile(OutputFile&& other) noexcept;
  OutputFile& operator=(OutputFile&& other) noexcept;
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;
  // A file this run created and never finished is removed, here or when a signal (Ctrl-C,
  // SIGTERM, SIGHUP) ends the run.
  ~OutputFile();

  bool IsOpen() const { return m_fd >= 0; }
  const std::string& path() const { return m_path; }
  // True when the target is standard output, so that the report goes to standard error.
  bool IsStandardOutput() const { return m_bStandardOutput; }
  // Replaces the target's content with `bytes` (a regular file is truncated first; a
  // device, FIFO or pipe is written in place). Throws HostError (output).
  void Write(const std::string& bytes);

 private:
  void Close();

  std::string m_path;
  int m_fd = -1;
  bool m_bOwnsFd = false;  // false for standard output
  bool m_bStandardOutput = false;
  bool m_bRegular = false;
  bool m_bCreated = false;   // this run created the file
  bool m_bFinished = false;  // Write succeeded
  int m_nPendingSlot = -1;   // a created, unfinished file's place in the signal cleanup
};

}  // namespace zbhost

// Where a result goes: a new or existing file, a device, a FIFO or standard output ("-").
// The target is opened and checked before any work, so a mistake costs nothing. A file is
// never written in place: the result goes to a hidden file beside it, which takes the name
// (through symbolic links, the real file's) only once it is complete, with the old file's
// mode and, where allowed, owner. So after any failure, even SIGKILL, an existing file is
// either untouched or the whole new result. A file with several hard links gets the result
// under the given name only; its other names keep the old content. Devices and FIFOs are
// written as they are. The input itself, directories and read-only files are refused.
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

// A file the run already reads or writes, and what it is to the run ("the input"). A file
// still to be made is known by its path.
struct TakenFile {
  FileIdentity identity;
  std::string newPath;
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
  // A result never committed is removed, here or when a signal (Ctrl-C, SIGTERM, SIGHUP)
  // ends the run; the target keeps what it had.
  ~OutputFile();

  bool IsOpen() const { return m_fd >= 0; }
  const std::string& path() const { return m_path; }
  // True when the target is standard output, so that the report goes to standard error.
  bool IsStandardOutput() const { return m_bStandardOutput; }
  // True when the target is a file (new or existing), written beside and renamed.
  bool IsFile() const { return !m_target.empty(); }
  // True when the descriptor can seek (a file, or a device that allows it).
  bool IsSeekable() const;
  // Where the result is written: the hidden file beside a file target, else the target.
  int fd() const { return m_fd; }
  // Notes for the user about the target: other hard links that keep the old content, and
  // hidden files beside it that runs ended by SIGKILL (or a crash) left behind.
  const std::vector<std::string>& notes() const { return m_notes; }

  // Appends bytes. Throws HostError (output) naming the target.
  void Write(const char* data, size_t size);
  void Write(const std::string& bytes) { Write(bytes.data(), bytes.size()); }
  // Makes the result the target's content. Throws HostError (output).
  void Commit();
  // Throws HostError (output) naming the target with `reason`.
  [[noreturn]] void Fail(const std::string& reason) const;

 private:
  void Close();

  std::string m_path;
  std::string m_target;     // the real file a file target names (links followed)
  std::string m_temporary;  // the hidden file beside it; empty for other targets
  std::vector<std::string> m_notes;
  int m_fd = -1;
  bool m_bOwnsFd = false;  // false for standard output
  bool m_bStandardOutput = false;
  int m_nPendingSlot = -1;  // the hidden file's place in the signal cleanup
};

}  // namespace zbhost

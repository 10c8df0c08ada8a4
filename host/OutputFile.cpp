// Opening, checking and writing the run's output targets.
#include "host/OutputFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include <fmt/format.h>

#include "host/HostError.h"

namespace zbhost {

namespace {

constexpr mode_t kAnyWrite = S_IWUSR | S_IWGRP | S_IWOTH;
constexpr mode_t kNewFileMode = 0666;  // narrowed by the user's umask, as every tool does

FileIdentity IdentityOf(const struct stat& st) { return FileIdentity{st.st_dev, st.st_ino}; }

[[noreturn]] void Refuse(const std::string& path, const std::string& reason) {
  throw HostError(kExitOutput, fmt::format("cannot write '{}': {}", path, reason));
}

bool SameAsStandardOutput(const struct stat& st) {
  struct stat out {};
  return fstat(STDOUT_FILENO, &out) == 0 && IdentityOf(out) == IdentityOf(st);
}

// Refuses a target that is one of `taken`. Devices may take any number of writers (two
// outputs thrown away into /dev/null); a file, FIFO or pipe written twice, or the input
// written over, would lose data.
void RefuseTaken(const std::string& path, const struct stat& st,
                 const std::vector<TakenFile>& taken) {
  if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode)) return;
  for (const TakenFile& other : taken) {
    if (other.identity == IdentityOf(st)) Refuse(path, "it is " + other.role);
  }
}

}  // namespace

void TakeInput(const std::string& path, std::vector<TakenFile>& taken) {
  struct stat st {};
  const int result = path == kStdStreamName ? fstat(STDIN_FILENO, &st) : stat(path.c_str(), &st);
  if (result == 0) taken.push_back({IdentityOf(st), "the input"});
}

OutputFile OutputFile::Open(const std::string& path, const std::string& role,
                            std::vector<TakenFile>& taken, bool binary) {
  OutputFile file;
  file.m_path = path;
  struct stat st {};
  if (path == kStdStreamName) {
    if (fstat(STDOUT_FILENO, &st) != 0) Refuse(path, "standard output is closed");
    RefuseTaken(path, st, taken);
    file.m_fd = STDOUT_FILENO;
    file.m_bStandardOutput = true;
  } else if (stat(path.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) Refuse(path, "it is a directory");
    // Checked before opening: opening a FIFO waits for its reader.
    RefuseTaken(path, st, taken);
    if (SameAsStandardOutput(st)) {
      file.m_fd = STDOUT_FILENO;
      file.m_bStandardOutput = true;
    } else {
      if (S_ISREG(st.st_mode) && (st.st_mode & kAnyWrite) == 0) Refuse(path, "it is read-only");
      // No O_TRUNC: an existing file keeps its content until the result is ready.
      file.m_fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
      if (file.m_fd < 0) Refuse(path, std::strerror(errno));
      file.m_bOwnsFd = true;
      file.m_bRegular = S_ISREG(st.st_mode);
    }
  } else if (errno == ENOENT) {
    struct stat link {};
    if (lstat(path.c_str(), &link) == 0) Refuse(path, "it is a symbolic link to a missing file");
    file.m_fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, kNewFileMode);
    if (file.m_fd < 0) Refuse(path, std::strerror(errno));
    file.m_bOwnsFd = true;
    file.m_bRegular = true;
    file.m_bCreated = true;
    if (fstat(file.m_fd, &st) != 0) Refuse(path, std::strerror(errno));
  } else {
    Refuse(path, std::strerror(errno));
  }

  if (binary && isatty(file.m_fd) != 0) {
    Refuse(path, "it is a terminal; redirect standard output or name a file");
  }
  taken.push_back({IdentityOf(st), role});
  return file;
}

OutputFile::OutputFile(OutputFile&& other) noexcept { *this = std::move(other); }

OutputFile& OutputFile::operator=(OutputFile&& other) noexcept {
  if (this != &other) {
    Close();
    m_path = std::move(other.m_path);
    m_fd = std::exchange(other.m_fd, -1);
    m_bOwnsFd = std::exchange(other.m_bOwnsFd, false);
    m_bStandardOutput = std::exchange(other.m_bStandardOutput, false);
    m_bRegular = std::exchange(other.m_bRegular, false);
    m_bCreated = std::exchange(other.m_bCreated, false);
    m_bFinished = std::exchange(other.m_bFinished, false);
  }
  return *this;
}

OutputFile::~OutputFile() { Close(); }

void OutputFile::Close() {
  if (m_fd >= 0 && m_bOwnsFd) close(m_fd);
  if (m_bCreated && !m_bFinished) unlink(m_path.c_str());
  m_fd = -1;
  m_bOwnsFd = false;
  m_bCreated = false;
}

void OutputFile::Write(const std::string& bytes) {
  if (m_bRegular && (ftruncate(m_fd, 0) != 0 || lseek(m_fd, 0, SEEK_SET) != 0)) {
    Refuse(m_path, std::strerror(errno));
  }
  size_t written = 0;
  while (written < bytes.size()) {
    const ssize_t result = write(m_fd, bytes.data() + written, bytes.size() - written);
    if (result < 0 && errno == EINTR) continue;
    if (result <= 0) Refuse(m_path, std::strerror(errno));
    written += static_cast<size_t>(result);
  }
  m_bFinished = true;
}

}  // namespace zbhost

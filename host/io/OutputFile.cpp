// Opening, checking and writing the run's output targets.
#include "host/io/OutputFile.h"

#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <utility>

#include <fmt/format.h>

#include "host/app/HostError.h"

namespace zbhost {

namespace {

// Files this run created and has not finished, removed by the handler of a signal that
// ends the run (Ctrl-C), so an interrupted run leaves nothing behind. A slot's name is
// filled before it is marked used; the handler only reads, so it is async-signal-safe.
constexpr int kMaxPending = 3;  // the audio, the frame table and the plot
char g_pendingPaths[kMaxPending][PATH_MAX];
volatile sig_atomic_t g_pendingUsed[kMaxPending];
constexpr int kEndingSignals[] = {SIGINT, SIGTERM, SIGHUP};

extern "C" void RemovePendingAndEnd(int signal) {
  for (int slot = 0; slot < kMaxPending; ++slot) {
    if (g_pendingUsed[slot] != 0) unlink(g_pendingPaths[slot]);
  }
  std::signal(signal, SIG_DFL);
  raise(signal);
}

// Installs the handler for each ending signal the run does not ignore (nohup keeps its way).
void InstallSignalCleanup() {
  static bool s_installed = false;
  if (s_installed) return;
  s_installed = true;
  for (int signal : kEndingSignals) {
    struct sigaction current {};
    if (sigaction(signal, nullptr, &current) != 0 || current.sa_handler == SIG_IGN) continue;
    struct sigaction action {};
    action.sa_handler = RemovePendingAndEnd;
    sigemptyset(&action.sa_mask);
    sigaction(signal, &action, nullptr);
  }
}

// Returns the slot that now holds `path`, or -1 when none is free or the name is too long.
int RegisterPending(const std::string& path) {
  InstallSignalCleanup();
  if (path.size() >= PATH_MAX) return -1;
  for (int slot = 0; slot < kMaxPending; ++slot) {
    if (g_pendingUsed[slot] != 0) continue;
    std::memcpy(g_pendingPaths[slot], path.c_str(), path.size() + 1);
    g_pendingUsed[slot] = 1;
    return slot;
  }
  return -1;
}

void ReleasePending(int slot) {
  if (slot >= 0) g_pendingUsed[slot] = 0;
}

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
    file.m_nPendingSlot = RegisterPending(path);
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
    m_nPendingSlot = std::exchange(other.m_nPendingSlot, -1);
  }
  return *this;
}

OutputFile::~OutputFile() { Close(); }

void OutputFile::Close() {
  if (m_fd >= 0 && m_bOwnsFd) close(m_fd);
  if (m_bCreated && !m_bFinished) unlink(m_path.c_str());
  ReleasePending(m_nPendingSlot);
  m_nPendingSlot = -1;
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
  ReleasePending(m_nPendingSlot);
  m_nPendingSlot = -1;
}

}  // namespace zbhost

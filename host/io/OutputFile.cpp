// Opening, checking, writing and committing the run's output targets.
#include "host/io/OutputFile.h"

#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <utility>

#include <fmt/format.h>

#include "host/base/HostError.h"
#include "host/io/FileName.h"

namespace zbhost {

namespace {

// Hidden files this run has not committed, removed by the handler of a signal that ends
// the run (Ctrl-C), so an interrupted run leaves nothing behind. A slot's name is filled
// before it is marked used; the handler only reads, so it is async-signal-safe.
constexpr int kMaxPending = 6;  // the audio, the frame table, the plot, with --compare more audio
char g_pendingPaths[kMaxPending][PATH_MAX];
volatile sig_atomic_t g_pendingUsed[kMaxPending];
constexpr int kEndingSignals[] = {SIGINT, SIGTERM, SIGHUP};
constexpr char kTemporarySuffix[] = ".zbhost-XXXXXX";  // mkstemp's pattern
constexpr size_t kTemporaryRandomChars = 6;            // the Xs mkstemp replaces
constexpr size_t kMostLeftoversNamed = 3;
constexpr mode_t kPermissionBits = 07777;

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
  throw HostError(kExitOutput, fmt::format("cannot write '{}': {}", DisplayName(path), reason));
}

bool SameAsStandardOutput(const struct stat& st) {
  struct stat out {};
  return fstat(STDOUT_FILENO, &out) == 0 && IdentityOf(out) == IdentityOf(st);
}

// Refuses a target that is one of `taken`. Devices may take any number of writers (two
// outputs thrown away into /dev/null); a file, FIFO or pipe written twice, or the input
// written over, would lose data.
void RefuseTaken(const std::string& path, const struct stat* st, const std::string& newPath,
                 const std::vector<TakenFile>& taken) {
  if (st != nullptr && (S_ISCHR(st->st_mode) || S_ISBLK(st->st_mode))) return;
  for (const TakenFile& other : taken) {
    const bool same = st != nullptr ? other.newPath.empty() && other.identity == IdentityOf(*st)
                                    : other.newPath == newPath;
    if (same) Refuse(path, "it is " + other.role);
  }
}

std::string DirectoryOf(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string BaseOf(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A new file's path with its folder made absolute, so two names for it compare equal.
std::string CanonicalNewPath(const std::string& path) {
  char* folder = realpath(DirectoryOf(path).c_str(), nullptr);
  if (folder == nullptr) Refuse(path, std::strerror(errno));
  std::string canonical = std::string(folder) + "/" + BaseOf(path);
  std::free(folder);
  return canonical;
}

mode_t NewFileMode() {
  const mode_t mask = umask(0);
  umask(mask);
  return kNewFileMode & ~mask;
}

// Hidden files beside `target` of the form this program writes results to: left by a run
// that SIGKILL or a crash ended before it could remove them. Named, with how to remove them,
// in a note; empty when there are none.
std::string LeftoverNote(const std::string& target) {
  const std::string directory = DirectoryOf(target);
  const std::string prefix = "." + BaseOf(target) + ".zbhost-";
  const size_t length = prefix.size() + kTemporaryRandomChars;
  std::vector<std::string> found;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(directory, error)) {
    const std::string name = entry.path().filename().string();
    if (name.size() == length && name.rfind(prefix, 0) == 0) found.push_back(name);
  }
  if (found.empty()) return {};
  std::sort(found.begin(), found.end());
  std::string names = DisplayName(found.front());
  for (size_t i = 1; i < found.size() && i < kMostLeftoversNamed; ++i) names += ", " + DisplayName(found[i]);
  if (found.size() > kMostLeftoversNamed) names += ", ...";
  return fmt::format(
      "{} unfinished result{} of an interrupted run lie{} beside '{}' ({}); unless another zbhost "
      "is writing it now, remove {}: rm -- '{}/{}'*",
      found.size(), found.size() == 1 ? "" : "s", found.size() == 1 ? "s" : "", DisplayName(target),
      names, found.size() == 1 ? "it" : "them", DisplayName(directory), DisplayName(prefix));
}

}  // namespace

void TakeInput(const std::string& path, std::vector<TakenFile>& taken) {
  struct stat st {};
  const int result = path == kStdStreamName ? fstat(STDIN_FILENO, &st) : stat(path.c_str(), &st);
  if (result == 0) taken.push_back({IdentityOf(st), {}, "the input"});
}

OutputFile OutputFile::Open(const std::string& path, const std::string& role,
                            std::vector<TakenFile>& taken, bool binary) {
  OutputFile file;
  file.m_path = path;
  struct stat st {};
  std::string newPath;
  bool regular = false;
  if (path == kStdStreamName) {
    if (fstat(STDOUT_FILENO, &st) != 0) Refuse(path, "standard output is closed");
    RefuseTaken(path, &st, {}, taken);
    file.m_fd = STDOUT_FILENO;
    file.m_bStandardOutput = true;
  } else if (stat(path.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) Refuse(path, "it is a directory");
    // Checked before opening: opening a FIFO waits for its reader.
    RefuseTaken(path, &st, {}, taken);
    if (SameAsStandardOutput(st)) {
      file.m_fd = STDOUT_FILENO;
      file.m_bStandardOutput = true;
    } else if (S_ISREG(st.st_mode)) {
      if ((st.st_mode & kAnyWrite) == 0 || access(path.c_str(), W_OK) != 0) {
        Refuse(path, "it is read-only");
      }
      char* real = realpath(path.c_str(), nullptr);
      if (real == nullptr) Refuse(path, std::strerror(errno));
      file.m_target = real;
      std::free(real);
      regular = true;
      if (st.st_nlink > 1) {
        const nlink_t others = st.st_nlink - 1;
        file.m_notes.push_back(fmt::format(
            "'{}' has {} other hard link{}; {} the old content, this name gets the new",
            DisplayName(path), others, others == 1 ? "" : "s", others == 1 ? "it keeps" : "they keep"));
      }
    } else {
      file.m_fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
      if (file.m_fd < 0) Refuse(path, std::strerror(errno));
      file.m_bOwnsFd = true;
    }
  } else if (errno == ENOENT) {
    struct stat link {};
    if (lstat(path.c_str(), &link) == 0) Refuse(path, "it is a symbolic link to a missing file");
    newPath = CanonicalNewPath(path);
    RefuseTaken(path, nullptr, newPath, taken);
    file.m_target = newPath;
    regular = true;
  } else {
    Refuse(path, std::strerror(errno));
  }

  if (regular) {
    const std::string leftovers = LeftoverNote(file.m_target);
    if (!leftovers.empty()) file.m_notes.push_back(leftovers);
    std::string pattern = DirectoryOf(file.m_target) + "/." + BaseOf(file.m_target) + kTemporarySuffix;
    // The ending signals wait while the file is made and registered, so that none can end
    // the run between the two and leave the file behind.
    InstallSignalCleanup();
    sigset_t ending;
    sigset_t previous;
    sigemptyset(&ending);
    for (int signal : kEndingSignals) sigaddset(&ending, signal);
    pthread_sigmask(SIG_BLOCK, &ending, &previous);
    file.m_fd = mkostemp(pattern.data(), O_CLOEXEC);
    const int created = errno;
    if (file.m_fd >= 0) file.m_nPendingSlot = RegisterPending(pattern);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (file.m_fd < 0) Refuse(path, std::strerror(created));
    file.m_temporary = pattern;
    file.m_bOwnsFd = true;
    if (newPath.empty()) {
      // The owner may fail for a user who is not root: the group alone may still be allowed.
      if (fchown(file.m_fd, st.st_uid, st.st_gid) != 0) {
        (void)!fchown(file.m_fd, static_cast<uid_t>(-1), st.st_gid);
      }
      fchmod(file.m_fd, st.st_mode & kPermissionBits);
    } else {
      fchmod(file.m_fd, NewFileMode());
    }
  }

  if (binary && isatty(file.m_fd) != 0) {
    Refuse(path, "it is a terminal; redirect standard output or name a file");
  }
  taken.push_back({IdentityOf(st), newPath, role});
  return file;
}

OutputFile::OutputFile(OutputFile&& other) noexcept { *this = std::move(other); }

OutputFile& OutputFile::operator=(OutputFile&& other) noexcept {
  if (this != &other) {
    Close();
    m_path = std::move(other.m_path);
    m_target = std::move(other.m_target);
    m_temporary = std::exchange(other.m_temporary, {});
    m_notes = std::move(other.m_notes);
    m_fd = std::exchange(other.m_fd, -1);
    m_bOwnsFd = std::exchange(other.m_bOwnsFd, false);
    m_bStandardOutput = std::exchange(other.m_bStandardOutput, false);
    m_nPendingSlot = std::exchange(other.m_nPendingSlot, -1);
  }
  return *this;
}

OutputFile::~OutputFile() { Close(); }

void OutputFile::Close() {
  if (m_fd >= 0 && m_bOwnsFd) close(m_fd);
  if (!m_temporary.empty()) unlink(m_temporary.c_str());
  ReleasePending(m_nPendingSlot);
  m_nPendingSlot = -1;
  m_temporary.clear();
  m_fd = -1;
  m_bOwnsFd = false;
}

bool OutputFile::IsSeekable() const { return lseek(m_fd, 0, SEEK_CUR) >= 0; }

void OutputFile::Fail(const std::string& reason) const { Refuse(m_path, reason); }

void OutputFile::Write(const char* data, size_t size) {
  size_t written = 0;
  while (written < size) {
    const ssize_t result = write(m_fd, data + written, size - written);
    if (result < 0 && errno == EINTR) continue;
    if (result <= 0) Refuse(m_path, std::strerror(errno));
    written += static_cast<size_t>(result);
  }
}

void OutputFile::Commit() {
  if (m_temporary.empty()) return;
  // A result is whole on the disk before it takes the name.
  const bool synced = fsync(m_fd) == 0;
  const int syncError = errno;
  const bool closed = close(m_fd) == 0;
  m_bOwnsFd = false;
  if (!synced || !closed) Refuse(m_path, std::strerror(synced ? errno : syncError));
  if (rename(m_temporary.c_str(), m_target.c_str()) != 0) Refuse(m_path, std::strerror(errno));
  m_temporary.clear();
  ReleasePending(m_nPendingSlot);
  m_nPendingSlot = -1;
}

}  // namespace zbhost

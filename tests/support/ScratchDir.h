// A scratch folder for the files a test process makes (inputs, outputs, FIFOs), under the
// test temporary folder. It is removed with all it holds when the process ends, whether
// its tests passed or failed, so a run leaves nothing behind; the folders of test processes
// that crashed are removed by the next one.
#pragma once

#include <gtest/gtest.h>

#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace zbtest {

class ScratchDir {
 public:
  ScratchDir() {
    RemoveOrphans();
    std::string pattern = testing::TempDir() + kPrefix + std::to_string(getpid()) + "_XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
      ADD_FAILURE() << "cannot make a scratch folder under " << testing::TempDir();
      return;
    }
    m_path = pattern;
  }
  ~ScratchDir() {
    if (m_path.empty()) return;
    std::error_code ignored;
    std::filesystem::remove_all(m_path, ignored);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::string& path() const { return m_path; }
  // A path inside the folder.
  std::string File(const std::string& name) const { return m_path + "/" + name; }

  // The process's own folder, made on first use (test tables may name files before any
  // test runs) and removed at exit.
  static const ScratchDir& ForProcess() {
    static const ScratchDir dir;
    return dir;
  }

 private:
  static constexpr char kPrefix[] = "zbtest_";

  // Folders "zbtest_PID_XXXXXX" whose process is gone: a crash skipped their removal.
  static void RemoveOrphans() {
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator(testing::TempDir(), ignored)) {
      const std::string name = entry.path().filename().string();
      if (name.rfind(kPrefix, 0) != 0) continue;
      const pid_t owner = static_cast<pid_t>(std::atol(name.c_str() + sizeof kPrefix - 1));
      if (owner > 0 && kill(owner, 0) != 0 && errno == ESRCH) {
        std::filesystem::remove_all(entry.path(), ignored);
      }
    }
  }

  std::string m_path;
};

}  // namespace zbtest

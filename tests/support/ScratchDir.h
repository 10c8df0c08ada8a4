// A scratch folder for the files a test process makes (inputs, outputs, FIFOs), under the
// test temporary folder. It is removed with all it holds when the process ends, whether
// its tests passed or failed, so a run leaves nothing behind.
#pragma once

#include <gtest/gtest.h>

#include <stdlib.h>

#include <filesystem>
#include <string>

namespace zbtest {

class ScratchDir {
 public:
  ScratchDir() {
    std::string pattern = testing::TempDir() + "zbtest_XXXXXX";
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
  std::string m_path;
};

}  // namespace zbtest

// Shared test harness (no test framework): observe assertion reports and debug-output
// texts, a host allocator that counts what it hands out and can be told to fail, a scope
// that installs one, and the seed of a seeded test.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "Include/QV_Interface/zbav_abi.h"
#include "Include/ZBAV_H/QV_ZbavMemMgr.h"
#include "QV_Base/Src/Platform.h"
#include "QV_Base/Src/QV_Assert.h"

namespace zbtest {

struct ReportedAssertion {
  std::string expression;
  std::string source;
  int line;
  bool operator==(const ReportedAssertion& other) const {
    return expression == other.expression && source == other.source && line == other.line;
  }
};

// Collects assertion reports for its lifetime instead of printing them.
class AssertRecorder {
 public:
  AssertRecorder() { zbbase::SetAssertListener(&AssertRecorder::Listen, this); }
  ~AssertRecorder() { zbbase::SetAssertListener(nullptr, nullptr); }
  AssertRecorder(const AssertRecorder&) = delete;
  AssertRecorder& operator=(const AssertRecorder&) = delete;

  std::vector<ReportedAssertion> reports() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_reports;
  }
  void clear() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_reports.clear();
  }

 private:
  static void Listen(const zbbase::AssertSite& site, void* context) {
    auto* self = static_cast<AssertRecorder*>(context);
    std::lock_guard<std::mutex> lock(self->m_mutex);
    self->m_reports.push_back({site.expression, site.source, site.line});
  }
  mutable std::mutex m_mutex;
  std::vector<ReportedAssertion> m_reports;
};

// Collects the texts handed to the debug output for its lifetime.
class DebugCapture {
 public:
  DebugCapture() { zbplat::SetDebugListener(&DebugCapture::Listen, this); }
  ~DebugCapture() { zbplat::SetDebugListener(nullptr, nullptr); }
  DebugCapture(const DebugCapture&) = delete;
  DebugCapture& operator=(const DebugCapture&) = delete;

  std::vector<std::string> texts() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_texts;
  }

 private:
  static void Listen(const char* text, void* context) {
    auto* self = static_cast<DebugCapture*>(context);
    std::lock_guard<std::mutex> lock(self->m_mutex);
    self->m_texts.emplace_back(text);
  }
  mutable std::mutex m_mutex;
  std::vector<std::string> m_texts;
};

// A host allocator that tracks every live buffer; `failNext` makes Alloc return null.
class CountingAllocator : public IAvMemAlloc {
 public:
  void* Alloc(uint32_t size) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_sizes.push_back(size);
    if (m_failing) return nullptr;
    void* ptr = std::malloc(size == 0 ? 1 : size);
    m_live.insert(ptr);
    return ptr;
  }
  void Free(void* ptr) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_live.erase(ptr) == 0) ++m_badFrees;
    std::free(ptr);
  }
  void SetFailing(bool failing) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_failing = failing;
  }
  size_t live() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_live.size();
  }
  int badFrees() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_badFrees;
  }
  // Sizes asked for, in order, including refused requests.
  std::vector<uint32_t> sizes() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_sizes;
  }

 private:
  mutable std::mutex m_mutex;
  std::set<void*> m_live;
  std::vector<uint32_t> m_sizes;
  bool m_failing = false;
  int m_badFrees = 0;
};

// Installs `allocator` as the host allocator for its lifetime, then puts back the one
// that was installed before.
class AllocatorScope {
 public:
  explicit AllocatorScope(IAvMemAlloc* allocator) : m_previous(g_zbavMemMgr.m_lpSink) {
    g_zbavMemMgr.m_lpSink = allocator;
  }
  ~AllocatorScope() { g_zbavMemMgr.m_lpSink = m_previous; }
  AllocatorScope(const AllocatorScope&) = delete;
  AllocatorScope& operator=(const AllocatorScope&) = delete;

 private:
  IAvMemAlloc* m_previous;
};

// The seed a seeded test starts from: the environment variable `variable` when set, else
// `fallback`. A failing test prints it with SeedNote.
inline uint32_t SeedFromEnvironment(const char* variable, uint32_t fallback) {
  const char* value = std::getenv(variable);
  return value != nullptr ? static_cast<uint32_t>(std::strtoul(value, nullptr, 10)) : fallback;
}

// "seed S (rerun with VARIABLE=S)".
inline std::string SeedNote(const char* variable, uint32_t seed) {
  return "seed " + std::to_string(seed) + " (rerun with " + variable + "=" + std::to_string(seed) + ")";
}

}  // namespace zbtest

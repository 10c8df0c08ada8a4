// Assertion reporting: standard error by default, a listener when one is installed.
#include "QV_Base/Src/QV_Assert.h"

#include <atomic>
#include <cstdio>

namespace zbbase {

namespace {
std::atomic<AssertListener> g_assertListener{nullptr};
std::atomic<void*> g_assertContext{nullptr};
}  // namespace

void SetAssertListener(AssertListener listener, void* context) {
  g_assertContext.store(context);
  g_assertListener.store(listener);
}

void ReportAssertion(const AssertSite& site) {
  AssertListener listener = g_assertListener.load();
  if (listener != nullptr) {
    listener(site, g_assertContext.load());
    return;
  }
  std::fprintf(stderr, "Assertion failed: %s, file %s, line %d\n", site.expression, site.source,
               site.line);
}

}  // namespace zbbase

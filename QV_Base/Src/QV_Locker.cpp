// Locker, AutoLock, TraceSender and the lock-trace globals.
#include "QV_Base/Src/QV_Locker.h"

#include <cstdio>

#include "QV_Base/Src/QV_InitOrder.h"

bool g_traceEnabled = false;
char g_traceText[256] = "";
ZB_INIT_ORDER(ZB_INIT_TRACE_SENDER) zbbase::TraceSender g_traceSender(0, g_traceText, 1);
ZB_INIT_ORDER(ZB_INIT_LOCK_LOG) zbbase::Locker g_lckLog("g_lckLog");

namespace zbbase {

namespace {

constexpr int kTraceLineBytes = 512;

bool TraceActive() { return g_traceEnabled && g_traceSender.socket != zbplat::kNoSocket; }

void SendTraceLine(const char* format, const Locker* lck, int32_t depth) {
  char line[kTraceLineBytes];
  const int length = std::snprintf(line, sizeof line, format, zbplat::CurrentThreadId(),
                                   static_cast<const void*>(lck), depth, g_traceText,
                                   zbplat::TimeMs());
  if (length <= 0) return;
  const int sent = length < kTraceLineBytes ? length : kTraceLineBytes - 1;
  g_traceSender.Send(line, sent);
}

}  // namespace

Locker::Locker() { zbplat::InitLock(&m_cs); }

Locker::Locker(const char* /*name*/) { zbplat::InitLock(&m_cs); }

Locker::~Locker() { zbplat::DeleteLock(&m_cs); }

void Locker::Lock() {
  if (TraceActive()) {
    // Sent before waiting: the line records the request, not the acquisition.
    SendTraceLine("b_%u.%p.%d: Lock name=%s, time=%u\r\n", this,
                  zbplat::HoldsByCurrentThread(&m_cs));
  }
  zbplat::EnterLock(&m_cs);
}

void Locker::Unlock() {
  if (TraceActive()) {
    SendTraceLine("e_%u.%p.%d: Unlock name=%s, time=%u\r\n", this,
                  zbplat::HoldsByCurrentThread(&m_cs) - 1);
  }
  zbplat::LeaveLock(&m_cs);
}

AutoLock::AutoLock(Locker* lck) : m_lck(lck) {
  ZB_ASSERT_AT(lck != nullptr, kAssertAutoLockNull);
  if (m_lck != nullptr) m_lck->Lock();
}

AutoLock::~AutoLock() {
  if (m_lck != nullptr) m_lck->Unlock();
}

TraceSender::TraceSender(uint16_t first, const char* addressText, uint16_t second)
    : firstSetting(first),
      secondSetting(second),
      address(zbplat::InetAddr(addressText)),
      socket(zbplat::kNoSocket) {}

TraceSender::~TraceSender() { Close(); }

int TraceSender::Send(const char* bytes, int length) {
  return zbplat::SocketSend(socket, bytes, length);
}

int TraceSender::Close() {
  if (socket == zbplat::kNoSocket) return 0;
  const int result = zbplat::SocketClose(socket);
  socket = zbplat::kNoSocket;
  return result >= 0 ? 0 : -1;
}

}  // namespace zbbase

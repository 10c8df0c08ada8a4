// Platform layer for Windows: the real critical sections, thread ids, timeGetTime,
// Winsock and the debugger output. A listener, when installed, also receives each
// debug text so that tests can observe it; benchmarks may hold the debugger's copy back.
#include "QV_Base/Src/Platform.h"

#include <mmsystem.h>

#include <atomic>

namespace zbplat {

void InitLock(CriticalSection* cs) { InitializeCriticalSection(cs); }
void DeleteLock(CriticalSection* cs) { DeleteCriticalSection(cs); }
void EnterLock(CriticalSection* cs) { EnterCriticalSection(cs); }
void LeaveLock(CriticalSection* cs) { LeaveCriticalSection(cs); }

int32_t HoldsByCurrentThread(const CriticalSection* cs) {
  // The section's owner and recursion count, read without entering it.
  const HANDLE owner = cs->OwningThread;
  if (reinterpret_cast<uintptr_t>(owner) != static_cast<uintptr_t>(GetCurrentThreadId())) return 0;
  return static_cast<int32_t>(cs->RecursionCount);
}

uint32_t CurrentThreadId() { return static_cast<uint32_t>(GetCurrentThreadId()); }
uint32_t TimeMs() { return static_cast<uint32_t>(timeGetTime()); }

uint32_t InetAddr(const char* text) { return static_cast<uint32_t>(inet_addr(text)); }
int SocketSend(SocketHandle s, const char* bytes, int length) { return send(s, bytes, length, 0); }
int SocketClose(SocketHandle s) { return closesocket(s); }

namespace {
std::atomic<DebugListener> g_listener{nullptr};
std::atomic<void*> g_listenerContext{nullptr};
std::atomic<bool> g_debuggerHeldBack{false};
}  // namespace

void HoldBackDebuggerOutput(bool heldBack) { g_debuggerHeldBack.store(heldBack); }

void SetDebugListener(DebugListener listener, void* context) {
  g_listenerContext.store(context);
  g_listener.store(listener);
}

void DebugOutput(const char* text) {
  if (!g_debuggerHeldBack.load(std::memory_order_relaxed)) OutputDebugStringA(text);
  DebugListener listener = g_listener.load();
  if (listener != nullptr) listener(text, g_listenerContext.load());
}

}  // namespace zbplat

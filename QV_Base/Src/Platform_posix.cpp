// Platform layer for POSIX systems: pthread recursive lock with owner tracking,
// gettid, a monotonic millisecond clock, BSD sockets and a debug-output listener.
#include "QV_Base/Src/Platform.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>

namespace zbplat {

void InitLock(CriticalSection* cs) {
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
  pthread_mutex_init(&cs->mutex, &attr);
  pthread_mutexattr_destroy(&attr);
  cs->owner.store(0, std::memory_order_relaxed);
  cs->depth = 0;
}

void DeleteLock(CriticalSection* cs) { pthread_mutex_destroy(&cs->mutex); }

void EnterLock(CriticalSection* cs) {
  pthread_mutex_lock(&cs->mutex);
  cs->owner.store(CurrentThreadId(), std::memory_order_relaxed);
  ++cs->depth;
}

void LeaveLock(CriticalSection* cs) {
  if (--cs->depth == 0) cs->owner.store(0, std::memory_order_relaxed);
  pthread_mutex_unlock(&cs->mutex);
}

int32_t HoldsByCurrentThread(const CriticalSection* cs) {
  // Only the owner writes depth, so the owner may read it without the lock.
  if (cs->owner.load(std::memory_order_relaxed) != CurrentThreadId()) return 0;
  return cs->depth;
}

uint32_t CurrentThreadId() {
  thread_local const uint32_t id = static_cast<uint32_t>(syscall(SYS_gettid));
  return id;
}

uint32_t TimeMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint32_t>(static_cast<uint64_t>(ts.tv_sec) * 1000u +
                               static_cast<uint64_t>(ts.tv_nsec) / 1000000u);
}

uint32_t InetAddr(const char* text) { return inet_addr(text); }

int SocketSend(SocketHandle s, const char* bytes, int length) {
  return static_cast<int>(send(s, bytes, static_cast<size_t>(length), MSG_NOSIGNAL));
}

int SocketClose(SocketHandle s) { return close(s); }

namespace {
struct ListenerSlot {
  std::atomic<DebugListener> listener{nullptr};
  std::atomic<void*> context{nullptr};
};
ListenerSlot& Slot() {
  static ListenerSlot slot;
  return slot;
}
}  // namespace

void SetDebugListener(DebugListener listener, void* context) {
  Slot().context.store(context);
  Slot().listener.store(listener);
}

void HoldBackDebuggerOutput(bool) {}

void DebugOutput(const char* text) {
  DebugListener listener = Slot().listener.load();
  if (listener != nullptr) listener(text, Slot().context.load());
}

}  // namespace zbplat

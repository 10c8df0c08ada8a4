// Locker: the library's recursive lock; AutoLock: its scoped guard; and the optional lock
// trace, one text line per Lock/Unlock sent to a socket when something outside the
// library has switched it on.
#pragma once

#include <cstdint>

#include "QV_Base/Src/Platform.h"
#include "QV_Base/Src/QV_Assert.h"

namespace zbbase {

// Fixed report line, not this file's (see AssertSite).
inline constexpr AssertSite kAssertAutoLockNull{"lck", "QV_Base/Src/QV_Locker", 184};

// One recursive critical section. A thread that holds it may lock it again.
class Locker {
 public:
  Locker();
  explicit Locker(const char* name);  // the name is accepted and discarded
  virtual ~Locker();
  Locker(const Locker&) = delete;
  Locker& operator=(const Locker&) = delete;

  void Lock();
  void Unlock();

 private:
  zbplat::CriticalSection m_cs;
};

// Holds a Locker for exactly its own scope, also when an exception leaves it.
class AutoLock {
 public:
  explicit AutoLock(Locker* lck);
  ~AutoLock();
  AutoLock(const AutoLock&) = delete;
  AutoLock& operator=(const AutoLock&) = delete;

 private:
  Locker* m_lck;
};

// The lock-trace socket. Closed (socket -1) unless something outside the library opens it.
class TraceSender {
 public:
  TraceSender(uint16_t firstSetting, const char* addressText, uint16_t secondSetting);
  virtual ~TraceSender();
  TraceSender(const TraceSender&) = delete;
  TraceSender& operator=(const TraceSender&) = delete;

  int Send(const char* bytes, int length);
  int Close();

  // Stored and never read by the library: kept, with the address, for whatever opens the
  // socket, and for the object's layout.
  uint16_t firstSetting;
  uint16_t secondSetting;
  uint32_t address;  // network byte order
  zbplat::SocketHandle socket;
};

}  // namespace zbbase

// Process-wide lock-trace switch and name text; nothing in the library writes them.
extern bool g_traceEnabled;
extern char g_traceText[];
extern zbbase::TraceSender g_traceSender;
// Built and destroyed in the load order with the other static objects; no operation of the
// library takes it.
extern zbbase::Locker g_lckLog;

// Platform layer: the few operating-system services the library uses, behind one interface.
// Windows uses the real critical sections, thread ids, timeGetTime, Winsock and
// OutputDebugStringA; other systems get stand-ins with the same observable behaviour.
#pragma once

#include <cstdint>

#if defined(_WIN32)
#include <winsock2.h>
#include <windows.h>
#else
#include <pthread.h>
#include <atomic>
#endif

namespace zbplat {

#if defined(_WIN32)
using CriticalSection = CRITICAL_SECTION;
using SocketHandle = SOCKET;
constexpr SocketHandle kNoSocket = INVALID_SOCKET;
#else
// A recursive lock that knows its owner and how often the owner holds it.
struct CriticalSection {
  pthread_mutex_t mutex;
  std::atomic<uint32_t> owner;  // thread id of the holder, 0 when free
  int32_t depth;                // holds of the owner; written only by the owner
};
using SocketHandle = int;
constexpr SocketHandle kNoSocket = -1;
#endif

void InitLock(CriticalSection* cs);
void DeleteLock(CriticalSection* cs);
void EnterLock(CriticalSection* cs);
void LeaveLock(CriticalSection* cs);
// Holds of the calling thread, read without entering: 0 when another thread (or none) owns it.
int32_t HoldsByCurrentThread(const CriticalSection* cs);

uint32_t CurrentThreadId();
uint32_t TimeMs();  // milliseconds, wrapping at 2^32

uint32_t InetAddr(const char* text);
int SocketSend(SocketHandle s, const char* bytes, int length);
int SocketClose(SocketHandle s);

// Hands one text to the debugger output (or, off Windows, to the installed listener).
void DebugOutput(const char* text);

// Off Windows: the stand-in for a debugger that receives DebugOutput texts; null drops them.
using DebugListener = void (*)(const char* text, void* context);
void SetDebugListener(DebugListener listener, void* context);

// When held back, DebugOutput gives texts to the listener alone and not to the debugger:
// benchmarks count the calls without paying for the debugger's delivery. Off Windows there
// is no debugger and this changes nothing.
void HoldBackDebuggerOutput(bool heldBack);

}  // namespace zbplat

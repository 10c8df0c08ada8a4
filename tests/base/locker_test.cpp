// Locker, AutoLock, TraceSender and the lock-trace lines. The trace is observed through a
// real connected socket pair whose sending end is handed to g_traceSender.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <regex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "QV_Base/Src/QV_Locker.h"
#include "tests/base/TraceSocket.h"
#include "tests/support/TestSupport.h"

namespace zbtest {
namespace {

using zbbase::AutoLock;
using zbbase::Locker;
using zbbase::TraceSender;

constexpr int kLineTimeoutMs = 5000;  // a line that must come
constexpr int kSilenceMs = 100;       // how long nothing must arrive
constexpr int kRecursionDepth = 3;

std::string PointerText(const void* p) {
  char text[64];
  std::snprintf(text, sizeof text, "%p", p);
  return text;
}

std::string Printable(const std::string& bytes) {
  std::string out;
  for (char c : bytes) {
    if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out += c;
    }
  }
  return out;
}

struct ExpectedLine {
  bool isLock;
  uint32_t thread;
  const Locker* locker;
  int depth;
};

// Checks every byte of a trace line; the time must lie between `before` and `after`.
void ExpectTraceLine(const std::string& line, const ExpectedLine& want, uint32_t before,
                     uint32_t after) {
  static const std::regex kPattern(
      "([be])_([0-9]+)\\.([^.]+)\\.(-?[0-9]+): (Lock|Unlock) name=(.*), time=([0-9]+)\r\n");
  std::smatch m;
  ASSERT_TRUE(std::regex_match(line, m, kPattern)) << "line: " << Printable(line);
  EXPECT_EQ(m[1].str(), want.isLock ? "b" : "e");
  EXPECT_EQ(m[5].str(), want.isLock ? "Lock" : "Unlock");
  EXPECT_EQ(m[2].str(), std::to_string(want.thread));
  EXPECT_EQ(m[3].str(), PointerText(want.locker));
  EXPECT_EQ(m[4].str(), std::to_string(want.depth));
  EXPECT_EQ(m[6].str(), std::string(g_traceText));
  const auto time = static_cast<uint32_t>(std::stoul(m[7].str()));
  EXPECT_LE(time - before, after - before) << "time " << time << " not within the call";
}

// Hands one end of a socket pair to g_traceSender and switches tracing on; restores the
// load-time state (switch off, socket closed, empty text) afterwards.
class LockTraceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(m_socket.ok());
    g_traceSender.socket = m_socket.sender();
    g_traceEnabled = true;
    g_traceText[0] = '\0';
  }
  void TearDown() override {
    g_traceEnabled = false;
    g_traceSender.socket = zbplat::kNoSocket;
    g_traceText[0] = '\0';
  }

  std::string NextLine() { return m_socket.ReceiveLine(kLineTimeoutMs); }

  // Receives the next line, then reads the clock: the line's time lies in [since, now].
  void ExpectNextLine(const ExpectedLine& want, uint32_t since) {
    const std::string line = NextLine();
    ExpectTraceLine(line, want, since, zbplat::TimeMs());
  }
  bool NothingSent() { return m_socket.ReceiveOnce(kSilenceMs).empty(); }

  // Runs `op` and checks the one line it sends.
  template <typename Op>
  void ExpectOneLine(Op op, const ExpectedLine& want) {
    const uint32_t before = zbplat::TimeMs();
    op();
    ExpectNextLine(want, before);
  }

  TraceSocket m_socket;
};

TEST(LockerTest, OneThreadMayLockRepeatedly) {
  Locker lck;
  for (int i = 0; i < kRecursionDepth; ++i) lck.Lock();
  for (int i = 0; i < kRecursionDepth; ++i) lck.Unlock();
  // Fully released: another thread gets it (a missing release would hang here).
  std::thread other([&] { AutoLock guard(&lck); });
  other.join();
}

TEST(LockerTest, NamedLockerBehavesAsUnnamed) {
  Locker lck("g_lckLog");
  lck.Lock();
  lck.Lock();
  lck.Unlock();
  lck.Unlock();
  std::thread other([&] { AutoLock guard(&lck); });
  other.join();
}

TEST(LockerTest, GuardsSharedStateAcrossThreads) {
  constexpr int kThreads = 4;
  constexpr int kIterations = 20000;
  Locker lck;
  long counter = 0;  // guarded by lck
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kIterations; ++i) {
        AutoLock outer(&lck);
        AutoLock inner(&lck);  // recursive hold, as a downstream call-back does
        counter = counter + 1;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(counter, static_cast<long>(kThreads) * kIterations);
}

TEST(LockerTest, TracingIsOffAtLoad) {
  EXPECT_FALSE(g_traceEnabled);
  EXPECT_EQ(g_traceText[0], '\0');
  EXPECT_EQ(g_traceSender.socket, zbplat::kNoSocket);
  EXPECT_EQ(g_traceSender.firstSetting, 0);
  EXPECT_EQ(g_traceSender.secondSetting, 1);
}

TEST_F(LockTraceTest, TripleRecursionSendsRisingThenFallingDepths) {
  Locker lck;
  const uint32_t self = zbplat::CurrentThreadId();
  for (int depth = 0; depth < kRecursionDepth; ++depth) {
    ExpectOneLine([&] { lck.Lock(); }, {true, self, &lck, depth});
  }
  for (int depth = kRecursionDepth - 1; depth >= 0; --depth) {
    ExpectOneLine([&] { lck.Unlock(); }, {false, self, &lck, depth});
  }
  EXPECT_TRUE(NothingSent());
}

TEST_F(LockTraceTest, EmptyTraceTextLeavesNameFieldEmpty) {
  Locker lck;
  lck.Lock();
  const std::string lockLine = NextLine();
  lck.Unlock();
  const std::string unlockLine = NextLine();
  EXPECT_NE(lockLine.find(": Lock name=, time="), std::string::npos) << Printable(lockLine);
  EXPECT_NE(unlockLine.find(": Unlock name=, time="), std::string::npos) << Printable(unlockLine);
}

TEST_F(LockTraceTest, TraceTextIsPrintedAsName) {
  static const char kName[] = "mixer lock 7";
  std::memcpy(g_traceText, kName, sizeof kName);
  Locker lck;
  const uint32_t self = zbplat::CurrentThreadId();
  ExpectOneLine([&] { lck.Lock(); }, {true, self, &lck, 0});
  ExpectOneLine([&] { lck.Unlock(); }, {false, self, &lck, 0});
}

TEST_F(LockTraceTest, WaitingThreadSendsDepthZeroBeforeItBlocks) {
  Locker lck;
  const uint32_t self = zbplat::CurrentThreadId();
  ExpectOneLine([&] { lck.Lock(); }, {true, self, &lck, 0});
  ExpectOneLine([&] { lck.Lock(); }, {true, self, &lck, 1});

  std::atomic<uint32_t> otherId{0};
  std::atomic<bool> acquired{false};
  const uint32_t before = zbplat::TimeMs();
  std::thread other([&] {
    otherId = zbplat::CurrentThreadId();
    lck.Lock();
    acquired = true;
    lck.Unlock();
  });
  // The request line arrives while this thread still holds the lock twice.
  const std::string request = NextLine();
  ExpectTraceLine(request, {true, otherId.load(), &lck, 0}, before, zbplat::TimeMs());
  std::this_thread::sleep_for(std::chrono::milliseconds(kSilenceMs));
  EXPECT_FALSE(acquired.load()) << "the second thread entered a held lock";

  ExpectOneLine([&] { lck.Unlock(); }, {false, self, &lck, 1});
  const uint32_t released = zbplat::TimeMs();
  lck.Unlock();
  ExpectNextLine({false, self, &lck, 0}, released);
  ExpectNextLine({false, otherId.load(), &lck, 0}, released);
  other.join();
  EXPECT_TRUE(acquired.load());
}

TEST_F(LockTraceTest, AutoLockLocksForItsScope) {
  Locker lck;
  const uint32_t self = zbplat::CurrentThreadId();
  uint32_t before = zbplat::TimeMs();
  {
    AutoLock outer(&lck);
    ExpectNextLine({true, self, &lck, 0}, before);
    {
      AutoLock inner(&lck);
      ExpectNextLine({true, self, &lck, 1}, before);
    }
    ExpectNextLine({false, self, &lck, 1}, before);
    EXPECT_TRUE(NothingSent());
    before = zbplat::TimeMs();
  }
  ExpectNextLine({false, self, &lck, 0}, before);
}

TEST_F(LockTraceTest, AutoLockReleasesWhenAnExceptionLeavesItsScope) {
  Locker lck;
  const uint32_t self = zbplat::CurrentThreadId();
  const uint32_t before = zbplat::TimeMs();
  try {
    AutoLock guard(&lck);
    throw std::runtime_error("downstream failure");
  } catch (const std::runtime_error&) {
  }
  ExpectNextLine({true, self, &lck, 0}, before);
  ExpectNextLine({false, self, &lck, 0}, before);
  // Nothing is left held: the next lock starts again at depth 0.
  ExpectOneLine([&] { lck.Lock(); }, {true, self, &lck, 0});
  lck.Unlock();
}

TEST_F(LockTraceTest, NullAutoLockReportsAndTouchesNoLock) {
  AssertRecorder recorder;
  { AutoLock guard(nullptr); }
  const std::vector<ReportedAssertion> expected{{"lck", "QV_Base/Src/QV_Locker", 184}};
  EXPECT_EQ(recorder.reports(), expected);
  EXPECT_TRUE(NothingSent());
}

TEST_F(LockTraceTest, NothingIsSentWhileTheSwitchIsOff) {
  g_traceEnabled = false;
  Locker lck;
  lck.Lock();
  lck.Unlock();
  { AutoLock guard(&lck); }
  EXPECT_TRUE(NothingSent());
}

TEST_F(LockTraceTest, NothingIsSentWithoutASocket) {
  g_traceSender.socket = zbplat::kNoSocket;
  Locker lck;
  ClearSocketError();
  lck.Lock();
  lck.Unlock();
  EXPECT_EQ(LastSocketError(), 0) << "a send was attempted on the closed sender";
  EXPECT_TRUE(NothingSent());
}

TEST_F(LockTraceTest, FailedSendLeavesTheLockWorking) {
  Locker lck;
  g_traceSender.socket = UnopenedSocketHandle();
  lck.Lock();
  lck.Lock();
  lck.Unlock();
  lck.Unlock();
  g_traceSender.socket = m_socket.sender();
  // Both holds were given back despite the failed sends.
  ExpectOneLine([&] { lck.Lock(); }, {true, zbplat::CurrentThreadId(), &lck, 0});
  lck.Unlock();
}

TEST_F(LockTraceTest, EachLineIsOneSend) {
  TraceSocket datagrams(TraceSocket::Kind::kDatagram);
  ASSERT_TRUE(datagrams.ok());
  g_traceSender.socket = datagrams.sender();
  Locker lck;
  const uint32_t self = zbplat::CurrentThreadId();
  const uint32_t before = zbplat::TimeMs();
  for (int i = 0; i < kRecursionDepth; ++i) lck.Lock();
  for (int i = 0; i < kRecursionDepth; ++i) lck.Unlock();
  // One message per line, each a whole line: a line split over sends would show here.
  for (int depth = 0; depth < kRecursionDepth; ++depth) {
    ExpectTraceLine(datagrams.ReceiveOnce(kLineTimeoutMs), {true, self, &lck, depth}, before,
                    zbplat::TimeMs());
  }
  for (int depth = kRecursionDepth - 1; depth >= 0; --depth) {
    ExpectTraceLine(datagrams.ReceiveOnce(kLineTimeoutMs), {false, self, &lck, depth}, before,
                    zbplat::TimeMs());
  }
  EXPECT_TRUE(datagrams.ReceiveOnce(kSilenceMs).empty());
  g_traceSender.socket = zbplat::kNoSocket;
}

TEST(TraceSenderTest, ConstructionStoresSettingsAndAddressAndStartsClosed) {
  TraceSender sender(7, "10.1.2.3", 9);
  EXPECT_EQ(sender.firstSetting, 7);
  EXPECT_EQ(sender.secondSetting, 9);
  unsigned char bytes[4];
  std::memcpy(bytes, &sender.address, sizeof bytes);  // network byte order: as written
  EXPECT_EQ(bytes[0], 10);
  EXPECT_EQ(bytes[1], 1);
  EXPECT_EQ(bytes[2], 2);
  EXPECT_EQ(bytes[3], 3);
  EXPECT_EQ(sender.socket, zbplat::kNoSocket);
}

TEST(TraceSenderTest, CloseOfClosedSenderReturnsZero) {
  TraceSender sender(0, "", 1);
  EXPECT_EQ(sender.Close(), 0);
  EXPECT_EQ(sender.socket, zbplat::kNoSocket);
}

TEST(TraceSenderTest, CloseClosesOnceThenReturnsZero) {
  TraceSocket pair;
  ASSERT_TRUE(pair.ok());
  TraceSender sender(0, "", 1);
  sender.socket = pair.ReleaseSender();
  EXPECT_EQ(sender.Close(), 0);
  EXPECT_EQ(sender.socket, zbplat::kNoSocket);
  EXPECT_TRUE(pair.PeerClosed(kLineTimeoutMs));
  EXPECT_EQ(sender.Close(), 0);
}

TEST(TraceSenderTest, FailedCloseReturnsMinusOneAndStillMarksClosed) {
  TraceSender sender(0, "", 1);
  sender.socket = UnopenedSocketHandle();
  EXPECT_EQ(sender.Close(), -1);
  EXPECT_EQ(sender.socket, zbplat::kNoSocket);
}

TEST(TraceSenderTest, DestructorClosesTheSocket) {
  TraceSocket pair;
  ASSERT_TRUE(pair.ok());
  {
    TraceSender sender(0, "", 1);
    sender.socket = pair.ReleaseSender();
  }
  EXPECT_TRUE(pair.PeerClosed(kLineTimeoutMs));
}

TEST(TraceSenderTest, SendReturnsThePlatformResult) {
  TraceSocket pair;
  ASSERT_TRUE(pair.ok());
  TraceSender sender(0, "", 1);
  sender.socket = pair.sender();
  EXPECT_EQ(sender.Send("abc\r\n", 5), 5);
  EXPECT_EQ(pair.ReceiveLine(kLineTimeoutMs), "abc\r\n");
  sender.socket = UnopenedSocketHandle();
  EXPECT_EQ(sender.Send("abc", 3), -1);
  sender.socket = zbplat::kNoSocket;  // the pair closes its own ends
}

}  // namespace
}  // namespace zbtest

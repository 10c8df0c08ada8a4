// Thread helpers for the framework tests: a check that work finishes on another thread
// (a lock left held would block it), a spinning barrier that starts threads together,
// and a watchdog that ends a deadlocked test program with a message instead of a hang.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <thread>

namespace zbtest {

// Long enough for any correct run under Wine or a sanitizer; only a hang reaches it.
inline constexpr std::chrono::seconds kHangLimit{120};

// Runs `work` on a new thread and answers whether it finished within `limit`. A thread
// that does not finish is left blocked behind; the test has failed by then anyway.
inline bool FinishesOnAnotherThread(const std::function<void()>& work,
                                    std::chrono::seconds limit = kHangLimit) {
  auto finished = std::make_shared<std::promise<void>>();
  std::future<void> done = finished->get_future();
  std::thread worker([work, finished] {
    work();
    finished->set_value();
  });
  if (done.wait_for(limit) != std::future_status::ready) {
    worker.detach();
    return false;
  }
  worker.join();
  return true;
}

// Releases all `parties` threads together once the last of them has arrived; reusable.
class SpinBarrier {
 public:
  explicit SpinBarrier(int parties) : m_parties(parties) {}
  SpinBarrier(const SpinBarrier&) = delete;
  SpinBarrier& operator=(const SpinBarrier&) = delete;

  void Wait() {
    const unsigned generation = m_generation.load(std::memory_order_acquire);
    if (m_arrived.fetch_add(1, std::memory_order_acq_rel) + 1 == m_parties) {
      m_arrived.store(0, std::memory_order_relaxed);
      m_generation.fetch_add(1, std::memory_order_acq_rel);
      return;
    }
    while (m_generation.load(std::memory_order_acquire) == generation) std::this_thread::yield();
  }

 private:
  const int m_parties;
  std::atomic<int> m_arrived{0};
  std::atomic<unsigned> m_generation{0};
};

// Brings two threads, roles 0 and 1, together at one point of the same numbered step:
// Meet returns once the other role has met in that step or has finished it, so a role
// whose step never reaches the point does not hold the other up.
class StepRendezvous {
 public:
  StepRendezvous() = default;
  StepRendezvous(const StepRendezvous&) = delete;
  StepRendezvous& operator=(const StepRendezvous&) = delete;

  void Meet(int role, int step) {
    m_met[role].store(step, std::memory_order_release);
    const int other = 1 - role;
    while (m_met[other].load(std::memory_order_acquire) < step &&
           m_finished[other].load(std::memory_order_acquire) < step) {
      std::this_thread::yield();
    }
  }
  void Finish(int role, int step) { m_finished[role].store(step, std::memory_order_release); }

 private:
  std::atomic<int> m_met[2] = {-1, -1};
  std::atomic<int> m_finished[2] = {-1, -1};
};

// Aborts the program with `what` unless destroyed within `limit`: a deadlock between
// the threads of a test would otherwise hang the run without saying where.
class Watchdog {
 public:
  explicit Watchdog(const char* what, std::chrono::seconds limit = kHangLimit)
      : m_thread([this, what, limit] {
          std::unique_lock<std::mutex> lock(m_mutex);
          if (!m_cancelled.wait_for(lock, limit, [this] { return m_done; })) {
            std::fprintf(stderr, "%s: no progress within %d s, the threads are deadlocked\n", what,
                         static_cast<int>(limit.count()));
            std::abort();
          }
        }) {}
  ~Watchdog() {
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_done = true;
    }
    m_cancelled.notify_one();
    m_thread.join();
  }
  Watchdog(const Watchdog&) = delete;
  Watchdog& operator=(const Watchdog&) = delete;

 private:
  std::mutex m_mutex;
  std::condition_variable m_cancelled;
  bool m_done = false;  // guarded by m_mutex
  std::thread m_thread;
};

}  // namespace zbtest

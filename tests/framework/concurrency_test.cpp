// Connection changes and delivery on several threads at once: the same pair changed
// from opposite ends at the same moment, outputs that change connections from inside
// HandleFrame while another thread changes the same source, and a bounded stress run
// over a small graph. Each ends with both sides of every pair agreeing. A deadlock ends
// the program through a watchdog.
#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/framework/RecordingModules.h"
#include "tests/framework/ThreadHelpers.h"
#include "tests/support/CaseNames.h"

namespace zbtest {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

template <typename T>
bool Lists(const std::vector<T*>& list, const T* peer) {
  return std::count(list.begin(), list.end(), peer) == 1;
}

// Both sides agree on the pair: the source lists the sink exactly when the sink lists
// the source, and neither lists it twice.
template <typename Source, typename Sink>
::testing::AssertionResult PairAgrees(Source& source, Sink& sink, const char* sourceName,
                                      const char* sinkName) {
  const std::vector<AvSinkFace*> outputs = source.Outputs();
  const std::vector<AvSourceFace*> inputs = sink.Inputs();
  const auto sinkEntries = std::count(outputs.begin(), outputs.end(), sink.sink());
  const auto sourceEntries = std::count(inputs.begin(), inputs.end(), source.source());
  if (sinkEntries <= 1 && sinkEntries == sourceEntries) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << sourceName << " lists " << sinkName << " " << sinkEntries
                                       << " times, " << sinkName << " lists " << sourceName << " "
                                       << sourceEntries << " times";
}

// Two-thread tests: which role the current thread plays, its step, whether it is to
// meet the other role in this step, and the step in which it last met it.
thread_local int t_role = -1;
thread_local int t_step = -1;
thread_local bool t_meet = false;
thread_local int t_metStep = -1;

void BeginStep(int role, int step, bool meet) {
  t_role = role;
  t_step = step;
  t_meet = meet;
}

// A module hook: the first connection call that the thread of `role` makes into the
// module in a step waits there until the other role has reached its own meeting point
// (or finished the step). Both threads are then in the middle of their exchanges at
// once, each holding whatever its own first operation holds at that point.
std::function<void()> MeetOnFirstCallFrom(int role, StepRendezvous& rendezvous) {
  return [role, &rendezvous] {
    if (t_role != role || !t_meet || t_metStep == t_step) return;
    t_metStep = t_step;
    rendezvous.Meet(role, t_step);
  };
}

constexpr int kSourceEnd = 0;
constexpr int kSinkEnd = 1;

// The same pair connected and disconnected from both ends at the same moment, round
// after round, with every combination of the two operations; in half of the rounds
// each thread waits inside its exchange, at its call into the other module, until the
// other thread is at the same point.
TEST(OppositeEnds, SamePairChangedFromBothEndsAtOnceNeverDeadlocksAndAgrees) {
  constexpr int kRounds = 2000;
  constexpr int kSourceAddsBit = 1;
  constexpr int kSinkAddsBit = 2;
  constexpr int kMeetBit = 4;
  Watchdog watchdog("OppositeEnds");
  TestEncoder source(nullptr, "S");
  TestDecoder sink(nullptr, "K");
  StepRendezvous rendezvous;
  sink.hooks.onConnectionCall = MeetOnFirstCallFrom(kSourceEnd, rendezvous);
  source.hooks.onConnectionCall = MeetOnFirstCallFrom(kSinkEnd, rendezvous);
  SpinBarrier barrier(2);
  std::vector<int> disagreements;
  std::vector<int> wrongOutcomes;

  std::thread sinkSide([&] {
    for (int round = 0; round < kRounds; ++round) {
      barrier.Wait();
      BeginStep(kSinkEnd, round, (round & kMeetBit) != 0);
      if ((round & kSinkAddsBit) != 0) {
        sink.AddInput(source.source());
      } else {
        sink.RemoveInput(source.source());
      }
      rendezvous.Finish(kSinkEnd, round);
      barrier.Wait();
      barrier.Wait();
    }
  });
  for (int round = 0; round < kRounds; ++round) {
    const bool sourceAdds = (round & kSourceAddsBit) != 0;
    const bool sinkAdds = (round & kSinkAddsBit) != 0;
    barrier.Wait();
    BeginStep(kSourceEnd, round, (round & kMeetBit) != 0);
    if (sourceAdds) {
      source.AddOutput(sink.sink());
    } else {
      source.RemoveOutput(sink.sink());
    }
    rendezvous.Finish(kSourceEnd, round);
    barrier.Wait();
    // Both threads are quiet until the third wait.
    if (!PairAgrees(source, sink, "S", "K")) disagreements.push_back(round);
    const bool connected = Lists(source.Outputs(), sink.sink());
    if (sourceAdds == sinkAdds && connected != sourceAdds) wrongOutcomes.push_back(round);
    barrier.Wait();
  }
  sinkSide.join();
  BeginStep(-1, -1, false);

  EXPECT_THAT(disagreements, IsEmpty()) << "rounds where the two sides disagreed";
  EXPECT_THAT(wrongOutcomes, IsEmpty()) << "rounds where two adds or two removes did not win";
}

constexpr int kDeliverer = 0;
constexpr int kChanger = 1;

// An output X changes the pair S-Y from inside HandleFrame, so with S's list lock held
// by the delivery, while another thread changes the same pair from the other end; in
// every step each thread waits, at its first call into the other end, for the other.
TEST(ChangesInsideHandleFrame, RaceWithAnotherThreadOnTheSameSource) {
  constexpr int kSteps = 2000;
  Watchdog watchdog("ChangesInsideHandleFrame");
  TestEncoder source(nullptr, "S");
  TestDecoder changer(nullptr, "X");
  TestDecoder target(nullptr, "Y");
  changer.KeepFrames(false);
  target.KeepFrames(false);
  std::atomic<int> changerFrames{0};
  std::atomic<int> damagedFrames{0};
  // Even steps: X connects from S's end while the other thread connects from Y's end.
  // Odd steps: X disconnects from Y's end while the other thread does so from S's end.
  changer.hooks.onFrame = [&](AvSourceFace* from, AvFrame* frame) {
    if (!TestFrame::Intact(frame)) damagedFrames.fetch_add(1);
    changerFrames.fetch_add(1);
    if (frame->info->seq % 2 == 0) {
      source.AddOutput(target.sink());
    } else {
      target.RemoveInput(from);
    }
    return true;
  };
  target.hooks.onFrame = [&](AvSourceFace*, AvFrame* frame) {
    if (!TestFrame::Intact(frame)) damagedFrames.fetch_add(1);
    return true;
  };
  StepRendezvous rendezvous;
  target.hooks.onConnectionCall = MeetOnFirstCallFrom(kDeliverer, rendezvous);
  source.hooks.onConnectionCall = MeetOnFirstCallFrom(kChanger, rendezvous);
  ASSERT_TRUE(source.AddOutput(changer.sink()));

  SpinBarrier barrier(2);
  std::thread other([&] {
    for (int step = 0; step < kSteps; ++step) {
      barrier.Wait();
      BeginStep(kChanger, step, true);
      if (step % 2 == 0) {
        target.AddInput(source.source());
      } else {
        source.RemoveOutput(target.sink());
      }
      rendezvous.Finish(kChanger, step);
    }
  });
  for (int step = 0; step < kSteps; ++step) {
    barrier.Wait();
    BeginStep(kDeliverer, step, true);
    TestFrame frame(step);
    source.DeliverFrame(&frame.frame);
    rendezvous.Finish(kDeliverer, step);
  }
  other.join();
  BeginStep(-1, -1, false);

  EXPECT_EQ(changerFrames.load(), kSteps);
  EXPECT_EQ(damagedFrames.load(), 0);
  EXPECT_TRUE(PairAgrees(source, changer, "S", "X"));
  EXPECT_TRUE(PairAgrees(source, target, "S", "Y"));
  EXPECT_THAT(changer.Inputs(), ElementsAre(source.source()));
}

// One thread connects the pair and its peer fails between the two sides' listings, while
// a second thread, run from inside that failing call, connects the same pair.
struct FailingExchangeCase : NamedRow {
  bool failingFromSink;  // the first thread starts at the sink, so the source's call fails
  bool otherFromSink;    // the second thread starts at the sink
};

class FailingExchangeTest : public ::testing::TestWithParam<FailingExchangeCase> {};

// The second connection neither answers on the failing one's provisional entry nor loses
// its own to that one's rollback: it succeeds, the failing one answers false, and both
// sides list the pair once.
TEST_P(FailingExchangeTest, AnotherThreadsConnectionStandsOnItsOwn) {
  const FailingExchangeCase& c = GetParam();
  Watchdog watchdog("FailingExchange");
  TestEncoder source(nullptr, "S");
  TestDecoder sink(nullptr, "K");
  const std::thread::id failingThread = std::this_thread::get_id();
  bool failed = false;
  bool otherAnswer = false;
  ModuleHooks& failingPeer = c.failingFromSink ? source.hooks : sink.hooks;
  failingPeer.onConnectionCall = [&] {
    if (std::this_thread::get_id() != failingThread || failed) return;
    failed = true;
    std::thread other([&] {
      otherAnswer = c.otherFromSink ? sink.AddInput(source.source()) : source.AddOutput(sink.sink());
    });
    other.join();
    throw std::runtime_error("peer failed");
  };

  const bool failingAnswer = c.failingFromSink ? sink.AddInput(source.source()) : source.AddOutput(sink.sink());
  ASSERT_TRUE(failed);
  EXPECT_FALSE(failingAnswer);
  EXPECT_TRUE(otherAnswer);
  ASSERT_TRUE(PairAgrees(source, sink, "S", "K"));
  EXPECT_THAT(source.Outputs(), ElementsAre(sink.sink()));
  EXPECT_THAT(sink.Inputs(), ElementsAre(source.source()));
}

INSTANTIATE_TEST_SUITE_P(
    Framework, FailingExchangeTest,
    ::testing::Values(
        // The second connection's call back finds the failing one's entry on the source.
        FailingExchangeCase{"SinkFailsOtherFromSink", false, true},
        // The second connection finds that entry at its own first step.
        FailingExchangeCase{"SinkFailsOtherFromSource", false, false},
        // The same two with the roles of source and sink swapped.
        FailingExchangeCase{"SourceFailsOtherFromSource", true, false},
        FailingExchangeCase{"SourceFailsOtherFromSink", true, true}),
    RowName());

// ---- Stress: a three-layer graph, two threads rewiring it, two delivering ----

constexpr int kModulesPerLayer = 2;
constexpr int kConnectorThreads = 2;
constexpr int kConnectorOps = 100000;
// Deliverers go on while the connectors run, within these bounds.
constexpr int kMinFramesPerDeliverer = 2000;
constexpr int kMaxFramesPerDeliverer = 100000;
constexpr unsigned kBaseSeed = 20240611u;
// A sink of the last layer disconnects itself from the delivering source and connects
// straight back on every kReconnectPeriod-th frame it handles, and disconnects itself
// for good on every kLeavePeriod-th; the connectors connect it again.
constexpr int kReconnectPeriod = 7;
constexpr int kLeavePeriod = 97;

// Sources (layer 0) deliver into filters (layer 1), which deliver onward from inside
// HandleFrame to sinks (layer 2); sources may also feed sinks directly. Edges always
// point to a later layer, so delivery never comes back to a source on its own stack.
class StressGraph {
 public:
  StressGraph() {
    for (int i = 0; i < kModulesPerLayer; ++i) {
      sources[i] = std::make_unique<TestEncoder>(nullptr, "S" + std::to_string(i));
      filters[i] = std::make_unique<TestDecoder>(nullptr, "F" + std::to_string(i));
      sinks[i] = std::make_unique<TestDecoder>(nullptr, "K" + std::to_string(i));
    }
    for (int i = 0; i < kModulesPerLayer; ++i) {
      sources[i]->KeepFrames(false);
      filters[i]->KeepFrames(false);
      sinks[i]->KeepFrames(false);
      TestDecoder* filter = filters[i].get();
      filter->hooks.onFrame = [this, filter](AvSourceFace*, AvFrame* frame) {
        Check(frame, filterFrames);
        filter->DeliverFrame(frame);
        return true;
      };
      TestDecoder* sink = sinks[i].get();
      sink->hooks.onFrame = [this, sink](AvSourceFace* from, AvFrame* frame) {
        const int n = Check(frame, sinkFrames) + 1;
        if (rewiring.load(std::memory_order_relaxed)) {
          if (n % kReconnectPeriod == 0) {
            sink->RemoveInput(from);
            sink->AddInput(from);
          } else if (n % kLeavePeriod == 0) {
            sink->RemoveInput(from);
          }
        }
        return true;
      };
    }
  }

  // Connects every edge of the graph.
  void ConnectAll() {
    for (const auto& source : sources) {
      for (const auto& filter : filters) source->AddOutput(filter->sink());
      for (const auto& sink : sinks) source->AddOutput(sink->sink());
    }
    for (const auto& filter : filters) {
      for (const auto& sink : sinks) filter->AddOutput(sink->sink());
    }
  }

  // One random connection change on a random edge, from a random end.
  void RandomChange(std::mt19937& random) {
    std::uniform_int_distribution<int> pick(0, kModulesPerLayer - 1);
    std::uniform_int_distribution<int> edgeKind(0, 2);
    std::uniform_int_distribution<int> operation(0, 3);
    const int kind = edgeKind(random);
    AvSourceFace* from = kind == 1 ? filters[pick(random)]->source() : sources[pick(random)]->source();
    AvSinkFace* to = kind == 0 ? filters[pick(random)]->sink() : sinks[pick(random)]->sink();
    switch (operation(random)) {
      case 0: from->AddOutput(to); break;
      case 1: from->RemoveOutput(to); break;
      case 2: to->AddInput(from); break;
      default: to->RemoveInput(from); break;
    }
  }

  std::array<std::unique_ptr<TestEncoder>, kModulesPerLayer> sources;
  std::array<std::unique_ptr<TestDecoder>, kModulesPerLayer> filters;
  std::array<std::unique_ptr<TestDecoder>, kModulesPerLayer> sinks;
  std::atomic<bool> rewiring{true};
  std::atomic<int> filterFrames{0};
  std::atomic<int> sinkFrames{0};
  std::atomic<int> damagedFrames{0};

 private:
  int Check(const AvFrame* frame, std::atomic<int>& counter) {
    if (!TestFrame::Intact(frame)) damagedFrames.fetch_add(1);
    return counter.fetch_add(1, std::memory_order_relaxed);
  }
};

// Every source of `from` and sink of `to` agree on their pair.
template <typename Source, typename Sink>
void ExpectSoundPairs(const std::array<std::unique_ptr<Source>, kModulesPerLayer>& from,
                      const std::array<std::unique_ptr<Sink>, kModulesPerLayer>& to) {
  for (const auto& source : from) {
    for (const auto& sink : to) EXPECT_TRUE(PairAgrees(*source, *sink, "source", "sink"));
  }
}

// A list holds only faces of the graph (no null, nothing left over from a removal), and
// holds blocks exactly while it holds peers.
template <typename Module>
void ExpectSoundLists(Module& module, const std::vector<AvSinkFace*>& sinkFaces,
                      const std::vector<AvSourceFace*>& sourceFaces) {
  const std::vector<AvSinkFace*> outputs = module.Outputs();
  const std::vector<AvSourceFace*> inputs = module.Inputs();
  for (AvSinkFace* output : outputs) EXPECT_TRUE(Lists(sinkFaces, output));
  for (AvSourceFace* input : inputs) EXPECT_TRUE(Lists(sourceFaces, input));
  EXPECT_EQ(module.OutputBlocks() == 0, outputs.empty());
  EXPECT_EQ(module.InputBlocks() == 0, inputs.empty());
}

TEST(Stress, RewiringAndDeliveringOnSeveralThreadsKeepsTheGraphSound) {
  Watchdog watchdog("Stress");
  StressGraph graph;
  graph.ConnectAll();
  SpinBarrier start(kConnectorThreads + kModulesPerLayer);
  std::atomic<int> connectorsRunning{kConnectorThreads};
  std::vector<std::thread> threads;
  for (int t = 0; t < kConnectorThreads; ++t) {
    threads.emplace_back([&graph, &start, &connectorsRunning, t] {
      std::mt19937 random(kBaseSeed + static_cast<unsigned>(t));
      start.Wait();
      for (int i = 0; i < kConnectorOps; ++i) graph.RandomChange(random);
      connectorsRunning.fetch_sub(1);
    });
  }
  for (int d = 0; d < kModulesPerLayer; ++d) {
    threads.emplace_back([&graph, &start, &connectorsRunning, d] {
      start.Wait();
      for (int seq = 0; seq < kMaxFramesPerDeliverer &&
                        (seq < kMinFramesPerDeliverer || connectorsRunning.load() > 0);
           ++seq) {
        TestFrame frame(seq);
        if (seq % 2 == 0) {
          graph.sources[d]->DeliverFrame(&frame.frame);
        } else {
          graph.filters[d]->DeliverFrame(&frame.frame);
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();

  SCOPED_TRACE("connector seeds start at " + std::to_string(kBaseSeed));
  EXPECT_EQ(graph.damagedFrames.load(), 0);
  ExpectSoundPairs(graph.sources, graph.filters);
  ExpectSoundPairs(graph.sources, graph.sinks);
  ExpectSoundPairs(graph.filters, graph.sinks);
  std::vector<AvSinkFace*> sinkFaces;
  std::vector<AvSourceFace*> sourceFaces;
  for (int i = 0; i < kModulesPerLayer; ++i) {
    sourceFaces.push_back(graph.sources[i]->source());
    sourceFaces.push_back(graph.filters[i]->source());
    sinkFaces.push_back(graph.filters[i]->sink());
    sinkFaces.push_back(graph.sinks[i]->sink());
  }
  for (const auto& module : graph.sources) ExpectSoundLists(*module, sinkFaces, sourceFaces);
  for (const auto& module : graph.filters) ExpectSoundLists(*module, sinkFaces, sourceFaces);
  for (const auto& module : graph.sinks) ExpectSoundLists(*module, sinkFaces, sourceFaces);

  // The lists still work: with every edge but the direct ones from sources to sinks,
  // one frame from each source reaches each sink once per filter.
  graph.rewiring.store(false);
  graph.ConnectAll();
  for (const auto& source : graph.sources) {
    for (const auto& sink : graph.sinks) sink->RemoveInput(source->source());
  }
  graph.filterFrames.store(0);
  graph.sinkFrames.store(0);
  for (const auto& source : graph.sources) {
    TestFrame frame(0);
    source->DeliverFrame(&frame.frame);
  }
  EXPECT_EQ(graph.filterFrames.load(), kModulesPerLayer * kModulesPerLayer);
  EXPECT_EQ(graph.sinkFrames.load(), kModulesPerLayer * kModulesPerLayer * kModulesPerLayer);

  // Destroying the middle layer detaches it from both neighbours.
  for (auto& filter : graph.filters) filter.reset();
  for (const auto& source : graph.sources) EXPECT_THAT(source->Outputs(), IsEmpty());
  for (const auto& sink : graph.sinks) EXPECT_THAT(sink->Inputs(), IsEmpty());
}

}  // namespace
}  // namespace zbtest

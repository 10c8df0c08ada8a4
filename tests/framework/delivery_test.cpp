// Frame delivery: connection order, the per-output IsActive question, refusals,
// exceptions passing through with the list unlocked, outputs that change the
// delivering source's connections from inside HandleFrame, and nested delivery.
#include <stdexcept>
#include <ostream>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/framework/RecordingModules.h"
#include "tests/framework/ThreadHelpers.h"
#include "tests/support/CaseNames.h"

namespace zbtest {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

// The modules that HandleFrame reached, in order, from the log.
std::vector<std::string> Receivers(const CallLog& log) {
  static const std::string kHandle = ".HandleFrame(";
  std::vector<std::string> names;
  for (const std::string& entry : log.Entries()) {
    const size_t at = entry.find(kHandle);
    if (at != std::string::npos) names.push_back(entry.substr(0, at));
  }
  return names;
}

// The outputs of the delivery fixture by name.
struct OutputsByName {
  TestDecoder* modules[4];
  TestDecoder& operator[](char name) const { return *modules[name - 'A']; }
};

// S with four outputs A, B, C, D, connected in that order.
class DeliveryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (TestDecoder* output : {&a, &b, &c, &d}) ASSERT_TRUE(s.AddOutput(output->sink()));
    log.Clear();
  }

  OutputsByName ByName() { return OutputsByName{{&a, &b, &c, &d}}; }
  std::vector<AvSinkFace*> Faces(const std::string& names) {
    std::vector<AvSinkFace*> faces;
    for (char name : names) faces.push_back(ByName()[name].sink());
    return faces;
  }

  CallLog log;
  TestEncoder s{&log, "S"};
  TestDecoder a{&log, "A"};
  TestDecoder b{&log, "B"};
  TestDecoder c{&log, "C"};
  TestDecoder d{&log, "D"};
  TestFrame first{1};
  TestFrame second{2};
};

TEST_F(DeliveryTest, OffersTheSameFrameToEveryOutputInConnectionOrder) {
  s.DeliverFrame(&first.frame);
  EXPECT_THAT(log.Entries(),
              ElementsAre("A.IsActive(S)=true", "A.HandleFrame(S)", "B.IsActive(S)=true", "B.HandleFrame(S)",
                          "C.IsActive(S)=true", "C.HandleFrame(S)", "D.IsActive(S)=true", "D.HandleFrame(S)"));
  for (TestDecoder* output : {&a, &b, &c, &d}) EXPECT_THAT(output->Frames(), ElementsAre(&first.frame));
}

TEST_F(DeliveryTest, SkipsAnInactiveOutputAndGoesOnAfterARefusal) {
  a.hooks.onFrame = [](AvSourceFace*, AvFrame*) { return false; };
  b.SetActive(false);
  s.DeliverFrame(&first.frame);
  EXPECT_THAT(log.Entries(),
              ElementsAre("A.IsActive(S)=true", "A.HandleFrame(S)", "B.IsActive(S)=false", "C.IsActive(S)=true",
                          "C.HandleFrame(S)", "D.IsActive(S)=true", "D.HandleFrame(S)"));
  EXPECT_THAT(b.Frames(), IsEmpty());
  EXPECT_THAT(s.Outputs(), ElementsAreArray(Faces("ABCD")));
}

TEST_F(DeliveryTest, ExceptionPassesToTheCallerWithTheListUnlocked) {
  b.hooks.onFrame = [](AvSourceFace*, AvFrame*) -> bool { throw std::runtime_error("output failed"); };
  EXPECT_THROW(s.DeliverFrame(&first.frame), std::runtime_error);
  EXPECT_THAT(Receivers(log), ElementsAre("A", "B"));
  EXPECT_THAT(s.Outputs(), ElementsAreArray(Faces("ABCD")));

  // Another thread can take the output list's lock: connect and deliver from there.
  b.hooks.onFrame = nullptr;
  log.Clear();
  TestDecoder late(&log, "E");
  EXPECT_TRUE(FinishesOnAnotherThread([&] {
    s.AddOutput(late.sink());
    s.DeliverFrame(&second.frame);
  }));
  EXPECT_THAT(Receivers(log), ElementsAre("A", "B", "C", "D", "E"));
}

TEST_F(DeliveryTest, ExceptionAfterASelfRemovalStillReleasesTheRemovedNode) {
  b.hooks.onFrame = [this](AvSourceFace* from, AvFrame*) -> bool {
    b.RemoveInput(from);
    throw std::runtime_error("output failed");
  };
  EXPECT_THROW(s.DeliverFrame(&first.frame), std::runtime_error);
  EXPECT_THAT(s.Outputs(), ElementsAreArray(Faces("ACD")));
  EXPECT_THAT(b.Inputs(), IsEmpty());
  EXPECT_TRUE(FinishesOnAnotherThread([&] { s.DeliverFrame(&second.frame); }));
  EXPECT_THAT(c.Frames(), ElementsAre(&second.frame));
}

// An output whose HandleFrame changes the outputs of the delivering source.
struct WalkChangeCase : NamedRow {
  void (*onFrame)(TestEncoder& s, const OutputsByName& o);
  const char* firstReceivers;   // who handles the frame being delivered, in order
  const char* outputsAfter;     // S's outputs afterwards, and who handles the next frame
};

class WalkChangeTest : public DeliveryTest, public ::testing::WithParamInterface<WalkChangeCase> {};

// B makes the change while the frame is being offered. Removed outputs get nothing
// after their removal, the walk never follows a released node (the emptied cases free
// the list's block, which AddressSanitizer would catch), removed nodes are released
// after the walk, and both sides of every pair agree.
TEST_P(WalkChangeTest, RemovedOutputsGetNothingMoreAndTheListStaysSound) {
  const WalkChangeCase& row = GetParam();
  bool changed = false;
  b.hooks.onFrame = [&](AvSourceFace*, AvFrame*) {
    if (!changed) {
      changed = true;
      row.onFrame(s, ByName());
    }
    return true;
  };
  s.DeliverFrame(&first.frame);

  std::vector<std::string> expectedFirst;
  for (const char* name = row.firstReceivers; *name != '\0'; ++name) expectedFirst.emplace_back(1, *name);
  EXPECT_THAT(Receivers(log), ElementsAreArray(expectedFirst));

  const std::string after = row.outputsAfter;
  EXPECT_THAT(s.Outputs(), ElementsAreArray(Faces(after)));
  EXPECT_EQ(s.OutputBlocks(), after.empty() ? 0 : 1);
  for (char name : std::string("ABCD")) {
    const bool listed = after.find(name) != std::string::npos;
    EXPECT_EQ(ByName()[name].Inputs().size(), listed ? 1u : 0u) << name;
  }

  log.Clear();
  s.DeliverFrame(&second.frame);
  std::vector<std::string> expectedSecond;
  for (char name : after) expectedSecond.emplace_back(1, name);
  EXPECT_THAT(Receivers(log), ElementsAreArray(expectedSecond));
}

const WalkChangeCase kWalkChangeCases[] = {
    // The output removes itself from the sink side: the walk goes on with C.
    {"RemovesItselfFromTheSinkSide",
     [](TestEncoder& s, const OutputsByName& o) { o['B'].RemoveInput(s.source()); }, "ABCD", "ACD"},
    {"RemovesItselfFromTheSourceSide",
     [](TestEncoder& s, const OutputsByName& o) { s.RemoveOutput(o['B'].sink()); }, "ABCD", "ACD"},
    // The remembered next node is removed.
    {"RemovesTheNextOutput", [](TestEncoder& s, const OutputsByName& o) { s.RemoveOutput(o['C'].sink()); },
     "ABD", "ABD"},
    {"RemovesTheNextOutputFromItsSinkSide",
     [](TestEncoder& s, const OutputsByName& o) { o['C'].RemoveInput(s.source()); }, "ABD", "ABD"},
    {"RemovesTheTail", [](TestEncoder& s, const OutputsByName& o) { s.RemoveOutput(o['D'].sink()); },
     "ABC", "ABC"},
    {"RemovesAllOthers",
     [](TestEncoder& s, const OutputsByName& o) {
       for (char name : {'A', 'C', 'D'}) s.RemoveOutput(o[name].sink());
     },
     "AB", "B"},
    // The list becomes empty inside the walk: its block goes only after the walk.
    {"RemovesEveryOutputAndItself",
     [](TestEncoder& s, const OutputsByName& o) {
       for (char name : {'C', 'D', 'A', 'B'}) o[name].RemoveInput(s.source());
     },
     "AB", ""},
    // Removed and connected again: the new entry is at the tail and reached there.
    {"RemovesTheNextOutputAndConnectsItAgain",
     [](TestEncoder& s, const OutputsByName& o) {
       s.RemoveOutput(o['C'].sink());
       o['C'].AddInput(s.source());
     },
     "ABDC", "ABDC"},
};

INSTANTIATE_TEST_SUITE_P(Framework, WalkChangeTest, ::testing::ValuesIn(kWalkChangeCases),
                         RowName());

// An output destroys the next output from inside HandleFrame: the destroyed module's
// detaching removes it from the walk, which never calls it (AddressSanitizer would see
// a call into freed memory).
TEST_F(DeliveryTest, OutputDestroyedInsideTheWalkIsNotCalled) {
  int destroyed = 0;
  auto* doomed = new TestDecoder(&log, "X", &destroyed);
  TestDecoder after(&log, "Y");
  ASSERT_TRUE(s.RemoveOutput(c.sink()));
  ASSERT_TRUE(s.RemoveOutput(d.sink()));
  ASSERT_TRUE(s.AddOutput(doomed->sink()));
  ASSERT_TRUE(s.AddOutput(after.sink()));
  b.hooks.onFrame = [&](AvSourceFace*, AvFrame*) {
    if (doomed != nullptr) doomed->sink()->DeletingDestructor(kDeleteFreesMemory);
    doomed = nullptr;
    return true;
  };
  log.Clear();
  s.DeliverFrame(&first.frame);
  EXPECT_EQ(destroyed, 1);
  EXPECT_THAT(Receivers(log), ElementsAre("A", "B", "Y"));
  EXPECT_THAT(s.Outputs(), ElementsAre(a.sink(), b.sink(), after.sink()));
}

TEST_F(DeliveryTest, NestedDeliveryOffersTheInnerFrameToAllBeforeTheOuterWalkGoesOn) {
  b.hooks.onFrame = [this](AvSourceFace*, AvFrame* frame) {
    if (frame == &first.frame) s.DeliverFrame(&second.frame);
    return true;
  };
  s.DeliverFrame(&first.frame);
  EXPECT_THAT(Receivers(log), ElementsAre("A", "B", "A", "B", "C", "D", "C", "D"));
  EXPECT_THAT(a.Frames(), ElementsAre(&first.frame, &second.frame));
  EXPECT_THAT(b.Frames(), ElementsAre(&first.frame, &second.frame));
  EXPECT_THAT(c.Frames(), ElementsAre(&second.frame, &first.frame));
  EXPECT_THAT(d.Frames(), ElementsAre(&second.frame, &first.frame));
}

// A removal made in the inner walk holds for the outer walk too; the node is released
// only when the outer walk ends.
TEST_F(DeliveryTest, RemovalInsideANestedDeliveryHoldsForTheOuterWalk) {
  b.hooks.onFrame = [this](AvSourceFace*, AvFrame* frame) {
    if (frame == &first.frame) s.DeliverFrame(&second.frame);
    return true;
  };
  c.hooks.onFrame = [this](AvSourceFace*, AvFrame* frame) {
    if (frame == &second.frame) {
      s.RemoveOutput(d.sink());
      c.RemoveInput(s.source());
    }
    return true;
  };
  s.DeliverFrame(&first.frame);
  EXPECT_THAT(Receivers(log), ElementsAre("A", "B", "A", "B", "C"));
  EXPECT_THAT(s.Outputs(), ElementsAreArray(Faces("AB")));
  EXPECT_THAT(c.Inputs(), IsEmpty());
  EXPECT_THAT(d.Inputs(), IsEmpty());
}

// Counting inside a walk, after an output was removed in it: the removed output's node
// is still in place but is neither counted nor asked.
TEST_F(DeliveryTest, CountingInsideAWalkSkipsARemovedOutput) {
  int32_t countInside = -1;
  std::vector<std::string> countCalls;
  a.hooks.onFrame = [&](AvSourceFace*, AvFrame*) {
    s.RemoveOutput(c.sink());
    log.Clear();
    countInside = s.CountActiveOutputs();
    countCalls = log.Entries();
    return true;
  };
  s.DeliverFrame(&first.frame);
  EXPECT_EQ(countInside, 3);
  EXPECT_THAT(countCalls, ElementsAre("S.CountActiveOutputs()=3", "A.IsActive(S)=true", "B.IsActive(S)=true",
                                      "D.IsActive(S)=true"));
  EXPECT_THAT(s.Outputs(), ElementsAreArray(Faces("ABD")));
  EXPECT_EQ(s.CountActiveOutputs(), 3);
}

// Along a chain each module delivers onward from inside HandleFrame.
TEST(DeliveryChain, FramesPassDownAChainInOneCallStack) {
  CallLog log;
  TestEncoder s(&log, "S");
  TestDecoder middle(&log, "M");
  TestDecoder end(&log, "E");
  ASSERT_TRUE(s.AddOutput(middle.sink()));
  ASSERT_TRUE(middle.AddOutput(end.sink()));
  middle.hooks.onFrame = [&](AvSourceFace*, AvFrame* frame) {
    middle.DeliverFrame(frame);
    return true;
  };
  TestFrame frame(7);
  log.Clear();
  s.DeliverFrame(&frame.frame);
  EXPECT_THAT(log.Entries(),
              ElementsAre("M.IsActive(S)=true", "M.HandleFrame(S)", "E.IsActive(M)=true", "E.HandleFrame(M)"));
  EXPECT_THAT(end.Frames(), ElementsAre(&frame.frame));
}

}  // namespace
}  // namespace zbtest

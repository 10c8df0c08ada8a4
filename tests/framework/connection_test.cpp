// Connecting and disconnecting: the exchange between the two sides and its call backs,
// answers for listed and unlisted peers, node blocks of the port lists, active-output
// counting and null peers.
#include <algorithm>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/framework/RecordingModules.h"
#include "tests/support/CaseNames.h"
#include "tests/support/HeapWatch.h"
#include "tests/support/TestSupport.h"

namespace zbtest {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

// One connection call on the pair S (source side) and K (sink side).
struct ExchangeCase : NamedRow {
  bool connectedBefore;
  bool (*call)(TestEncoder& s, TestDecoder& k);
  bool answer;
  std::vector<std::string> calls;  // the log of the call, in order
  bool connectedAfter;
};

// S also has a second output, B, connected before the case runs: the exchange must
// leave it alone.
class ExchangeTest : public ::testing::TestWithParam<ExchangeCase> {
 protected:
  void SetUp() override {
    ASSERT_TRUE(s.AddOutput(b.sink()));
    if (GetParam().connectedBefore) {
      ASSERT_TRUE(s.AddOutput(k.sink()));
    }
    log.Clear();
  }

  CallLog log;
  TestEncoder s{&log, "S"};
  TestDecoder b{&log, "B"};
  TestDecoder k{&log, "K"};
};

TEST_P(ExchangeTest, AnswersCallsAndListsAsExpected) {
  const ExchangeCase& c = GetParam();
  EXPECT_EQ(c.call(s, k), c.answer);
  EXPECT_THAT(log.Entries(), ElementsAreArray(c.calls));
  if (c.connectedAfter) {
    EXPECT_THAT(s.Outputs(), ElementsAre(b.sink(), k.sink()));
    EXPECT_THAT(k.Inputs(), ElementsAre(s.source()));
    EXPECT_EQ(k.InputBlocks(), 1);
  } else {
    EXPECT_THAT(s.Outputs(), ElementsAre(b.sink()));
    EXPECT_THAT(k.Inputs(), IsEmpty());
    EXPECT_EQ(k.InputBlocks(), 0);
  }
  EXPECT_THAT(b.Inputs(), ElementsAre(s.source()));
  EXPECT_THAT(s.Inputs(), IsEmpty());
  EXPECT_THAT(k.Outputs(), IsEmpty());
}

const ExchangeCase kExchangeCases[] = {
    // Started at the source: the sink records the source and calls back, the call
    // back finds the sink listed and calls nobody.
    {"AddOutputConnects", false, [](TestEncoder& s, TestDecoder& k) { return s.AddOutput(k.sink()); },
     true, {"S.AddOutput(K)=true", "K.AddInput(S)=true", "S.AddOutput(K)=true"}, true},
    // Started at the sink: the same exchange with the roles swapped.
    {"AddInputConnects", false, [](TestEncoder& s, TestDecoder& k) { return k.AddInput(s.source()); },
     true, {"K.AddInput(S)=true", "S.AddOutput(K)=true", "K.AddInput(S)=true"}, true},
    // A listed peer: true, nothing changes, the peer is not called.
    {"AddOutputOfListedSinkCallsNobody", true,
     [](TestEncoder& s, TestDecoder& k) { return s.AddOutput(k.sink()); }, true, {"S.AddOutput(K)=true"},
     true},
    {"AddInputOfListedSourceCallsNobody", true,
     [](TestEncoder& s, TestDecoder& k) { return k.AddInput(s.source()); }, true, {"K.AddInput(S)=true"},
     true},
    // Disconnecting from the source: the call back finds nothing and answers false.
    {"RemoveOutputDisconnects", true, [](TestEncoder& s, TestDecoder& k) { return s.RemoveOutput(k.sink()); },
     true, {"S.RemoveOutput(K)=true", "K.RemoveInput(S)=true", "S.RemoveOutput(K)=false"}, false},
    // Disconnecting from the sink removes the pair on both sides as well.
    {"RemoveInputDisconnects", true, [](TestEncoder& s, TestDecoder& k) { return k.RemoveInput(s.source()); },
     true, {"K.RemoveInput(S)=true", "S.RemoveOutput(K)=true", "K.RemoveInput(S)=false"}, false},
    // An unlisted peer: false and nobody is called.
    {"RemoveOutputOfUnlistedSinkCallsNobody", false,
     [](TestEncoder& s, TestDecoder& k) { return s.RemoveOutput(k.sink()); }, false,
     {"S.RemoveOutput(K)=false"}, false},
    {"RemoveInputOfUnlistedSourceCallsNobody", false,
     [](TestEncoder& s, TestDecoder& k) { return k.RemoveInput(s.source()); }, false,
     {"K.RemoveInput(S)=false"}, false},
};

INSTANTIATE_TEST_SUITE_P(Framework, ExchangeTest, ::testing::ValuesIn(kExchangeCases),
                         RowName());

class ConnectionTest : public ::testing::Test {
 protected:
  CallLog log;
  TestEncoder s{&log, "S"};
  TestDecoder k{&log, "K"};
};

TEST_F(ConnectionTest, ConnectingFromBothSidesLeavesOneEntryEach) {
  EXPECT_TRUE(s.AddOutput(k.sink()));
  EXPECT_TRUE(k.AddInput(s.source()));
  EXPECT_TRUE(s.AddOutput(k.sink()));
  EXPECT_THAT(s.Outputs(), ElementsAre(k.sink()));
  EXPECT_THAT(k.Inputs(), ElementsAre(s.source()));
}

TEST_F(ConnectionTest, RemoveInputStopsCountingAndASecondRemoveAnswersFalse) {
  ASSERT_TRUE(s.AddOutput(k.sink()));
  EXPECT_EQ(s.CountActiveOutputs(), 1);
  EXPECT_TRUE(k.RemoveInput(s.source()));
  EXPECT_EQ(s.CountActiveOutputs(), 0);
  log.Clear();
  EXPECT_FALSE(k.RemoveInput(s.source()));
  EXPECT_THAT(log.Entries(), ElementsAre("K.RemoveInput(S)=false"));
}

TEST_F(ConnectionTest, CountActiveOutputsAsksEveryOutputWithTheSourceFace) {
  EXPECT_EQ(s.CountActiveOutputs(), 0);
  TestDecoder idle(&log, "I");
  ASSERT_TRUE(s.AddOutput(k.sink()));
  ASSERT_TRUE(s.AddOutput(idle.sink()));
  EXPECT_EQ(s.CountActiveOutputs(), 2);
  idle.SetActive(false);
  log.Clear();
  EXPECT_EQ(s.CountActiveOutputs(), 1);
  EXPECT_THAT(log.Entries(),
              ElementsAre("S.CountActiveOutputs()=1", "K.IsActive(S)=true", "I.IsActive(S)=false"));
}

TEST_F(ConnectionTest, NewModulesHoldNoBlocks) {
  EXPECT_EQ(s.OutputBlocks(), 0);
  EXPECT_EQ(s.InputBlocks(), 0);
  EXPECT_EQ(k.OutputBlocks(), 0);
  EXPECT_EQ(k.InputBlocks(), 0);
}

TEST_F(ConnectionTest, RemovingTheOnlyPeerFreesTheBlockAndTheNextAddAllocatesOne) {
  ASSERT_TRUE(s.AddOutput(k.sink()));
  EXPECT_EQ(s.OutputBlocks(), 1);
  EXPECT_EQ(k.InputBlocks(), 1);
  ASSERT_TRUE(s.RemoveOutput(k.sink()));
  EXPECT_EQ(s.OutputBlocks(), 0);
  EXPECT_EQ(k.InputBlocks(), 0);
  ASSERT_TRUE(k.AddInput(s.source()));
  EXPECT_EQ(s.OutputBlocks(), 1);
  EXPECT_EQ(k.InputBlocks(), 1);
  ASSERT_TRUE(k.RemoveInput(s.source()));
  EXPECT_EQ(s.OutputBlocks(), 0);
  EXPECT_EQ(k.InputBlocks(), 0);
}

TEST(PortListBlocks, EleventhPeerAllocatesTheSecondBlockOnBothSides) {
  constexpr int kPeers = zbbase::kDefaultBlockSize + 1;
  TestEncoder source(nullptr, "S");
  TestDecoder sink(nullptr, "K");
  std::vector<std::unique_ptr<TestDecoder>> outputs;
  std::vector<std::unique_ptr<TestEncoder>> inputs;
  for (int i = 1; i <= kPeers; ++i) {
    outputs.push_back(std::make_unique<TestDecoder>(nullptr, "O"));
    inputs.push_back(std::make_unique<TestEncoder>(nullptr, "I"));
    ASSERT_TRUE(source.AddOutput(outputs.back()->sink()));
    ASSERT_TRUE(sink.AddInput(inputs.back()->source()));
    const int32_t blocks = i <= zbbase::kDefaultBlockSize ? 1 : 2;
    EXPECT_EQ(source.OutputBlocks(), blocks) << "after output " << i;
    EXPECT_EQ(sink.InputBlocks(), blocks) << "after input " << i;
  }
  EXPECT_EQ(source.CountActiveOutputs(), kPeers);
  for (int i = 0; i < kPeers; ++i) {
    ASSERT_TRUE(outputs[i]->RemoveInput(source.source()));
    ASSERT_TRUE(inputs[i]->RemoveOutput(sink.sink()));
  }
  EXPECT_EQ(source.OutputBlocks(), 0);
  EXPECT_EQ(sink.InputBlocks(), 0);
}

// Connecting while the global allocation operator fails at each allocation in turn: no
// exception leaves, and either both sides list each other (true) or neither does (false).
struct ConnectFailureCase : NamedRow {
  bool fromSink;    // started with the sink's AddInput rather than the source's AddOutput
  int peersBefore;  // peers each side already lists; a block's worth makes the next need one
};

class ConnectFailureTest : public ::testing::TestWithParam<ConnectFailureCase> {};

TEST_P(ConnectFailureTest, AllOrNothing) {
  const ConnectFailureCase& c = GetParam();
  TestEncoder s(nullptr, "S");
  TestDecoder k(nullptr, "K");
  std::vector<std::unique_ptr<TestDecoder>> otherOutputs;
  std::vector<std::unique_ptr<TestEncoder>> otherInputs;
  for (int i = 0; i < c.peersBefore; ++i) {
    otherOutputs.push_back(std::make_unique<TestDecoder>(nullptr, "O"));
    otherInputs.push_back(std::make_unique<TestEncoder>(nullptr, "I"));
    ASSERT_TRUE(s.AddOutput(otherOutputs.back()->sink()));
    ASSERT_TRUE(k.AddInput(otherInputs.back()->source()));
  }
  bool connected = false;
  for (int failing = 1; !connected; ++failing) {
    bool answer = false;
    FailNthAllocation(failing);
    EXPECT_NO_THROW(answer = c.fromSink ? k.AddInput(s.source()) : s.AddOutput(k.sink())) << "allocation " << failing;
    connected = CancelFailure();  // the exchange needed fewer allocations
    EXPECT_EQ(answer, connected) << "allocation " << failing;
    const std::vector<AvSinkFace*> outputs = s.Outputs();
    const std::vector<AvSourceFace*> inputs = k.Inputs();
    EXPECT_EQ(outputs.size(), static_cast<size_t>(c.peersBefore) + (answer ? 1 : 0)) << "allocation " << failing;
    EXPECT_EQ(inputs.size(), outputs.size()) << "allocation " << failing;
    EXPECT_EQ(std::count(outputs.begin(), outputs.end(), k.sink()), answer ? 1 : 0) << "allocation " << failing;
    EXPECT_EQ(std::count(inputs.begin(), inputs.end(), s.source()), answer ? 1 : 0) << "allocation " << failing;
  }
}

INSTANTIATE_TEST_SUITE_P(Framework, ConnectFailureTest,
                         ::testing::Values(ConnectFailureCase{"FromTheSource", false, 0},
                                           ConnectFailureCase{"FromTheSink", true, 0},
                                           ConnectFailureCase{"FromTheSourceIntoFullBlocks", false, 10},
                                           ConnectFailureCase{"FromTheSinkIntoFullBlocks", true, 10}),
                         RowName());

// A null peer handed to a connection operation.
struct NullPeerCase : NamedRow {
  bool (*call)(TestEncoder& s, TestDecoder& k);
  ReportedAssertion report;
  const char* logged;
};

class NullPeerTest : public ::testing::TestWithParam<NullPeerCase> {
 protected:
  void SetUp() override {
    ASSERT_TRUE(s.AddOutput(k.sink()));
    log.Clear();
  }

  CallLog log;
  TestEncoder s{&log, "S"};
  TestDecoder k{&log, "K"};
};

// The assertion fires, the answer is false, nothing is stored and nobody is called.
TEST_P(NullPeerTest, AssertsStoresNothingAndCallsNobody) {
  const NullPeerCase& c = GetParam();
  AssertRecorder asserts;
  EXPECT_FALSE(c.call(s, k));
  EXPECT_THAT(asserts.reports(), ElementsAre(c.report));
  EXPECT_THAT(log.Entries(), ElementsAre(c.logged));
  EXPECT_THAT(s.Outputs(), ElementsAre(k.sink()));
  EXPECT_THAT(k.Inputs(), ElementsAre(s.source()));
  EXPECT_THAT(s.Inputs(), IsEmpty());
  EXPECT_THAT(k.Outputs(), IsEmpty());
  EXPECT_EQ(s.InputBlocks(), 0);
  EXPECT_EQ(k.OutputBlocks(), 0);
}

const NullPeerCase kNullPeerCases[] = {
    {"AddOutput", [](TestEncoder& s, TestDecoder&) { return s.AddOutput(nullptr); },
     {"pOutput", "zbav", 1166}, "S.AddOutput()=false"},
    {"RemoveOutput", [](TestEncoder& s, TestDecoder&) { return s.RemoveOutput(nullptr); },
     {"pOutput", "zbav", 1177}, "S.RemoveOutput()=false"},
    {"AddInput", [](TestEncoder&, TestDecoder& k) { return k.AddInput(nullptr); },
     {"pInput", "zbav", 1214}, "K.AddInput()=false"},
    {"RemoveInput", [](TestEncoder&, TestDecoder& k) { return k.RemoveInput(nullptr); },
     {"pInput", "zbav", 1225}, "K.RemoveInput()=false"},
    // The outputs' own lists are empty, so a null there can only be stored, never found.
    {"AddInputOnSource", [](TestEncoder& s, TestDecoder&) { return s.AddInput(nullptr); },
     {"pInput", "zbav", 1214}, "S.AddInput()=false"},
    {"AddOutputOnSink", [](TestEncoder&, TestDecoder& k) { return k.AddOutput(nullptr); },
     {"pOutput", "zbav", 1166}, "K.AddOutput()=false"},
};

INSTANTIATE_TEST_SUITE_P(Framework, NullPeerTest, ::testing::ValuesIn(kNullPeerCases),
                         RowName());

// A null entry in the output list: delivery reports it and skips it, counting skips it
// silently, and neither calls through it.
TEST(NullOutputEntry, DeliveryReportsAndSkipsItCountingSkipsItSilently) {
  CallLog log;
  TestEncoder s(&log, "S");
  TestDecoder first(&log, "A");
  TestDecoder last(&log, "B");
  ASSERT_TRUE(s.AddOutput(first.sink()));
  s.AppendNullOutput();
  ASSERT_TRUE(s.AddOutput(last.sink()));
  log.Clear();

  AssertRecorder asserts;
  TestFrame frame(1);
  s.DeliverFrame(&frame.frame);
  EXPECT_THAT(asserts.reports(), ElementsAre(ReportedAssertion{"lpOutput", "zbav", 1251}));
  EXPECT_THAT(log.Entries(), ElementsAre("A.IsActive(S)=true", "A.HandleFrame(S)", "B.IsActive(S)=true",
                                         "B.HandleFrame(S)"));

  asserts.clear();
  log.Clear();
  EXPECT_EQ(s.CountActiveOutputs(), 2);
  EXPECT_THAT(asserts.reports(), IsEmpty());
  EXPECT_THAT(log.Entries(),
              ElementsAre("S.CountActiveOutputs()=2", "A.IsActive(S)=true", "B.IsActive(S)=true"));
}

}  // namespace
}  // namespace zbtest

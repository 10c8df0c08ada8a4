// Module lifecycle and shape: detaching on destruction through either face's slot 0,
// the fixed answers of the filter bases, the slot order of both faces called through
// the raw vtables, and where the sink face lies in the object.
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <ostream>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/framework/RecordingModules.h"
#include "tests/support/HeapWatch.h"
#include "tests/support/CaseNames.h"

namespace zbtest {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

// Calls entry `slot` of the vtable of `face` as the host does. Face operations are
// member functions: the object comes first, and on 32-bit Windows it travels in ECX
// (thiscall), so the raw entry is called through a plain function pointer of that kind.
// GCC's pedantic mode notes that thiscall is meant for class methods; here it is meant.
#if defined(_WIN32) && !defined(_WIN64)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wattributes"
template <typename Result, typename... Args>
using SlotEntry = Result(__attribute__((thiscall)) *)(void*, Args...);
#pragma GCC diagnostic pop
#else
template <typename Result, typename... Args>
using SlotEntry = Result (*)(void*, Args...);
#endif

template <typename Result, typename... Args>
Result CallSlot(void* face, size_t slot, Args... args) {
  void* const* vtable = *static_cast<void* const* const*>(face);
  SlotEntry<Result, Args...> entry;
  std::memcpy(&entry, &vtable[slot], sizeof(entry));
  return entry(face, args...);
}

uintptr_t AddressOf(const void* pointer) { return reinterpret_cast<uintptr_t>(pointer); }

// ---- Destruction ----

TEST(Destruction, DetachesEveryOutputOnceInConnectionOrderAgainstAnEmptiedList) {
  CallLog log;
  int destroyed = 0;
  TestDecoder k1(&log, "K1");
  TestDecoder k2(&log, "K2");
  TestDecoder k3(&log, "K3");
  auto* module = new TestEncoder(&log, "M", &destroyed);
  std::vector<bool> callBackAnswers;
  for (TestDecoder* sink : {&k1, &k2, &k3}) {
    ASSERT_TRUE(module->AddOutput(sink->sink()));
    // Repeats the call back the sink has just made to the dying module.
    sink->hooks.afterRemoveInput = [&callBackAnswers, sink](AvSourceFace* pInput) {
      callBackAnswers.push_back(pInput->RemoveOutput(sink->sink()));
    };
  }
  log.Clear();

  const uintptr_t address = AddressOf(module);
  WatchFrees(module);
  EXPECT_EQ(AddressOf(module->source()->DeletingDestructor(kDeleteFreesMemory)), address);
  EXPECT_EQ(destroyed, 1);
  EXPECT_EQ(WatchedFrees(), 1);
  EXPECT_THAT(log.Entries(), ElementsAre("M.Destroyed()", "K1.RemoveInput(M)=true", "K2.RemoveInput(M)=true",
                                         "K3.RemoveInput(M)=true"));
  EXPECT_THAT(callBackAnswers, ElementsAre(false, false, false));
  for (TestDecoder* sink : {&k1, &k2, &k3}) {
    EXPECT_THAT(sink->Inputs(), IsEmpty());
    EXPECT_EQ(sink->InputBlocks(), 0);
  }
}

TEST(Destruction, ThroughTheSinkFaceDetachesInputsBeforeOutputsAndFreesTheObject) {
  CallLog log;
  int destroyed = 0;
  TestEncoder in1(&log, "I1");
  TestEncoder in2(&log, "I2");
  TestDecoder out1(&log, "O1");
  TestDecoder out2(&log, "O2");
  auto* module = new TestDecoder(&log, "M", &destroyed);
  ASSERT_TRUE(module->AddOutput(out1.sink()));
  ASSERT_TRUE(in1.AddOutput(module->sink()));
  ASSERT_TRUE(module->AddOutput(out2.sink()));
  ASSERT_TRUE(module->AddInput(in2.source()));
  log.Clear();

  const uintptr_t address = AddressOf(module);
  WatchFrees(module);
  AvSinkFace* sinkFace = module->sink();
  EXPECT_EQ(AddressOf(sinkFace->DeletingDestructor(kDeleteFreesMemory)), address);
  EXPECT_EQ(destroyed, 1);
  EXPECT_EQ(WatchedFrees(), 1);
  EXPECT_THAT(log.Entries(), ElementsAre("M.Destroyed()", "I1.RemoveOutput(M)=true", "I2.RemoveOutput(M)=true",
                                         "O1.RemoveInput(M)=true", "O2.RemoveInput(M)=true"));
  EXPECT_THAT(in1.Outputs(), IsEmpty());
  EXPECT_THAT(in2.Outputs(), IsEmpty());
  EXPECT_THAT(out1.Inputs(), IsEmpty());
  EXPECT_THAT(out2.Inputs(), IsEmpty());
}

// Without the free flag slot 0 destroys and detaches but leaves the memory alone.
TEST(Destruction, WithoutTheFreeFlagTheMemoryIsNotReleased) {
  for (const bool throughSinkFace : {false, true}) {
    SCOPED_TRACE(throughSinkFace ? "sink face" : "source face");
    CallLog log;
    int destroyed = 0;
    TestDecoder peer(&log, "K");
    alignas(TestEncoder) unsigned char storage[sizeof(TestEncoder)];
    auto* module = new (storage) TestEncoder(&log, "M", &destroyed);
    ASSERT_TRUE(module->AddOutput(peer.sink()));
    WatchFrees(storage);
    void* destroyedAt = throughSinkFace ? module->sink()->DeletingDestructor(0)
                                        : module->source()->DeletingDestructor(0);
    EXPECT_EQ(destroyedAt, static_cast<void*>(storage));
    EXPECT_EQ(destroyed, 1);
    EXPECT_EQ(WatchedFrees(), 0);
    EXPECT_THAT(peer.Inputs(), IsEmpty());
  }
}

// Destroying a connected module while every allocation fails: detaching allocates
// nothing, so the destruction completes, and no peer still lists the module.
struct ExhaustedDestructionCase : NamedRow {
  int outputs;
  int inputs;
};

class ExhaustedDestructionTest : public ::testing::TestWithParam<ExhaustedDestructionCase> {};

TEST_P(ExhaustedDestructionTest, DetachesEveryPeerWithoutAllocating) {
  std::vector<std::unique_ptr<TestDecoder>> outputs;
  std::vector<std::unique_ptr<TestEncoder>> inputs;
  int destroyed = 0;
  auto* module = new TestDecoder(nullptr, "M", &destroyed);
  for (int i = 0; i < GetParam().outputs; ++i) {
    outputs.push_back(std::make_unique<TestDecoder>(nullptr, "O"));
    ASSERT_TRUE(module->AddOutput(outputs.back()->sink()));
  }
  for (int i = 0; i < GetParam().inputs; ++i) {
    inputs.push_back(std::make_unique<TestEncoder>(nullptr, "I"));
    ASSERT_TRUE(inputs.back()->AddOutput(module->sink()));
  }
  FailNthAllocation(1);
  module->source()->DeletingDestructor(kDeleteFreesMemory);
  EXPECT_TRUE(CancelFailure()) << "destruction allocated";
  EXPECT_EQ(destroyed, 1);
  for (auto& output : outputs) EXPECT_THAT(output->Inputs(), IsEmpty());
  for (auto& input : inputs) EXPECT_THAT(input->Outputs(), IsEmpty());
}

INSTANTIATE_TEST_SUITE_P(Framework, ExhaustedDestructionTest,
                         ::testing::Values(ExhaustedDestructionCase{"OneOutput", 1, 0},
                                           ExhaustedDestructionCase{"OneInput", 0, 1},
                                           ExhaustedDestructionCase{"BlocksOfBoth", 11, 12}),
                         RowName());

// ---- The filter bases and the source layer ----

struct AcceptsCase : NamedRow {
  uint16_t type;
  bool accepted;
};

class EncoderAcceptsTypeTest : public ::testing::TestWithParam<AcceptsCase> {};

TEST_P(EncoderAcceptsTypeTest, TakesOnlyPcm) {
  TestEncoder encoder(nullptr, "E");
  EXPECT_EQ(encoder.AcceptsType(GetParam().type), GetParam().accepted);
}

INSTANTIATE_TEST_SUITE_P(Framework, EncoderAcceptsTypeTest,
                         ::testing::Values(AcceptsCase{"Pcm", AV_TYPE_PCM, true},
                                           AcceptsCase{"BelowPcm", AV_TYPE_PCM - 1, false},
                                           AcceptsCase{"AbovePcm", AV_TYPE_PCM + 1, false},
                                           AcceptsCase{"Adpcm", AV_TYPE_ADPCM, false},
                                           AcceptsCase{"AdpcmParity", AV_TYPE_ADPCM_PARITY, false},
                                           AcceptsCase{"Zero", 0, false},
                                           // The code is 16 bits wide: a byte match is not enough.
                                           AcceptsCase{"PcmPlus0x0100", 0x0100 | AV_TYPE_PCM, false},
                                           AcceptsCase{"PcmPlus0xFF00", 0xFF00 | AV_TYPE_PCM, false}),
                         RowName());

TEST(FilterBases, EncoderBaseFixedAnswers) {
  CallLog log;
  TestEncoder encoder(&log, "E");
  EXPECT_FALSE(encoder.ResetStream());
  EXPECT_EQ(encoder.ReservedControl(0), 0);
  EXPECT_EQ(encoder.ReservedControl(-1), 0);
  EXPECT_EQ(encoder.ReservedControl(INT32_MAX), 0);
  EXPECT_EQ(encoder.ReservedQuery(), 0);
  encoder.ReservedNotify();
  encoder.ReservedSetting(1);
  EXPECT_TRUE(encoder.Redundancy());
  EXPECT_THAT(log.Entries(), ElementsAre("E.ResetStream()=false"));
  EXPECT_THAT(encoder.Outputs(), IsEmpty());
  EXPECT_THAT(encoder.Inputs(), IsEmpty());
}

TEST(FilterBases, DecoderBaseFixedAnswers) {
  CallLog log;
  TestDecoder decoder(&log, "D");
  EXPECT_EQ(decoder.GetOutputType(), AV_TYPE_PCM);
  EXPECT_FALSE(decoder.ResetStream());
  EXPECT_EQ(decoder.ReservedControl(INT32_MIN), 0);
  EXPECT_EQ(decoder.ReservedQuery(), 0);
  decoder.ReservedNotify();
  EXPECT_THAT(log.Entries(), ElementsAre("D.ResetStream()=false"));
}

TEST(FilterBases, EveryModuleIsActiveWhoeverAsks) {
  TestEncoder encoder(nullptr, "E");
  TestDecoder decoder(nullptr, "D");
  EXPECT_TRUE(encoder.IsActive(nullptr));
  EXPECT_TRUE(encoder.IsActive(decoder.source()));
  EXPECT_TRUE(decoder.IsActive(encoder.source()));
  EXPECT_TRUE(decoder.IsActive(decoder.source()));
}

TEST(FilterBases, RedundancyStaysAsLastSwitched) {
  TestEncoder encoder(nullptr, "E");
  EXPECT_TRUE(encoder.Redundancy());
  encoder.EnableRedundancy(false);
  EXPECT_FALSE(encoder.Redundancy());
  encoder.ResetStream();
  encoder.ReservedSetting(1);
  EXPECT_FALSE(encoder.Redundancy());
  encoder.EnableRedundancy(true);
  EXPECT_TRUE(encoder.Redundancy());
  encoder.EnableRedundancy(true);
  EXPECT_TRUE(encoder.Redundancy());
}

// ---- Slot order, called through the raw vtables ----

class SlotTest : public ::testing::Test {
 protected:
  SlotTest() { log.Clear(); }

  CallLog log;
  TestEncoder encoder{&log, "E"};
  TestDecoder decoder{&log, "D"};
  TestFrame frame{3};
};

// One raw slot call on the encoder E (its peer is the decoder D) and what it must do.
struct SlotCase : NamedRow {
  std::string (*call)(TestEncoder& e, TestDecoder& d, AvFrame* frame);
  std::string answer;
  std::vector<std::string> calls;
};

std::string Text(bool value) { return value ? "true" : "false"; }

class SlotOrderTest : public SlotTest, public ::testing::WithParamInterface<SlotCase> {};

TEST_P(SlotOrderTest, SlotReachesItsOperation) {
  const SlotCase& row = GetParam();
  EXPECT_EQ(row.call(encoder, decoder, &frame.frame), row.answer);
  EXPECT_THAT(log.Entries(), ElementsAreArray(row.calls));
}

const SlotCase kSlotCases[] = {
    {"Source1GetOutputType",
     [](TestEncoder& e, TestDecoder&, AvFrame*) {
       return std::to_string(CallSlot<uint16_t>(e.source(), 1));
     },
     std::to_string(AV_TYPE_ADPCM), {}},
    {"Source2AddOutput",
     [](TestEncoder& e, TestDecoder& d, AvFrame*) {
       return Text(CallSlot<bool>(e.source(), 2, d.sink()));
     },
     "true", {"E.AddOutput(D)=true", "D.AddInput(E)=true", "E.AddOutput(D)=true"}},
    {"Source3RemoveOutput",
     [](TestEncoder& e, TestDecoder& d, AvFrame*) {
       return Text(CallSlot<bool>(e.source(), 3, d.sink()));
     },
     "false", {"E.RemoveOutput(D)=false"}},
    {"Source4CountActiveOutputs",
     [](TestEncoder& e, TestDecoder&, AvFrame*) {
       return std::to_string(CallSlot<int32_t>(e.source(), 4));
     },
     "0", {"E.CountActiveOutputs()=0"}},
    {"Source8ResetStream",
     [](TestEncoder& e, TestDecoder&, AvFrame*) { return Text(CallSlot<bool>(e.source(), 8)); },
     "false", {"E.ResetStream()=false"}},
    {"Source10EnableRedundancy",
     [](TestEncoder& e, TestDecoder&, AvFrame*) {
       CallSlot<void>(e.source(), 10, false);
       return Text(e.Redundancy());
     },
     "false", {}},
    {"Sink1AcceptsType",
     [](TestEncoder& e, TestDecoder&, AvFrame*) {
       return Text(CallSlot<bool>(e.sink(), 1, static_cast<uint16_t>(AV_TYPE_PCM))) +
              Text(CallSlot<bool>(e.sink(), 1, static_cast<uint16_t>(AV_TYPE_ADPCM)));
     },
     "truefalse", {}},
    {"Sink2IsActive",
     [](TestEncoder& e, TestDecoder& d, AvFrame*) {
       return Text(CallSlot<bool>(e.sink(), 2, d.source()));
     },
     "true", {"E.IsActive(D)=true"}},
    {"Sink3AddInput",
     [](TestEncoder& e, TestDecoder& d, AvFrame*) {
       return Text(CallSlot<bool>(e.sink(), 3, d.source()));
     },
     "true", {"E.AddInput(D)=true", "D.AddOutput(E)=true", "E.AddInput(D)=true"}},
    {"Sink4RemoveInput",
     [](TestEncoder& e, TestDecoder& d, AvFrame*) {
       return Text(CallSlot<bool>(e.sink(), 4, d.source()));
     },
     "false", {"E.RemoveInput(D)=false"}},
    {"Sink5HandleFrame",
     [](TestEncoder& e, TestDecoder& d, AvFrame* frame) {
       const bool taken = CallSlot<bool>(e.sink(), 5, d.source(), frame);
       return Text(taken && e.Frames() == std::vector<AvFrame*>{frame});
     },
     "true", {"E.HandleFrame(D)"}},
    // The decoder base's own slot 1 and slot 8, and its sink's AcceptsType.
    {"DecoderSource1GetOutputType",
     [](TestEncoder&, TestDecoder& d, AvFrame*) {
       return std::to_string(CallSlot<uint16_t>(d.source(), 1));
     },
     std::to_string(AV_TYPE_PCM), {}},
    {"DecoderSource8ResetStream",
     [](TestEncoder&, TestDecoder& d, AvFrame*) { return Text(CallSlot<bool>(d.source(), 8)); },
     "false", {"D.ResetStream()=false"}},
    {"DecoderSink1AcceptsType",
     [](TestEncoder&, TestDecoder& d, AvFrame*) {
       return Text(CallSlot<bool>(d.sink(), 1, static_cast<uint16_t>(AV_TYPE_ADPCM_PARITY)));
     },
     "true", {}},
};

INSTANTIATE_TEST_SUITE_P(Framework, SlotOrderTest, ::testing::ValuesIn(kSlotCases),
                         RowName());

// Slot 0 of either face, reached from the object's address, destroys the whole object.
TEST(SlotZero, DestroysTheWholeObjectFromEitherFace) {
  for (const bool throughSinkFace : {false, true}) {
    SCOPED_TRACE(throughSinkFace ? "sink face" : "source face");
    int destroyed = 0;
    TestDecoder peer(nullptr, "K");
    alignas(TestEncoder) unsigned char storage[sizeof(TestEncoder)];
    auto* module = new (storage) TestEncoder(nullptr, "M", &destroyed);
    ASSERT_TRUE(module->AddOutput(peer.sink()));
    void* face = throughSinkFace ? static_cast<void*>(SinkFaceOf(storage)) : static_cast<void*>(storage);
    EXPECT_EQ(CallSlot<void*>(face, 0, 0u), static_cast<void*>(storage));
    EXPECT_EQ(destroyed, 1);
    EXPECT_THAT(peer.Inputs(), IsEmpty());
  }

  int destroyed = 0;
  auto* module = new TestDecoder(nullptr, "M", &destroyed);
  WatchFrees(module);
  CallSlot<void*>(SinkFaceOf(module), 0, kDeleteFreesMemory);
  EXPECT_EQ(destroyed, 1);
  EXPECT_EQ(WatchedFrees(), 1);
}

// ---- Layout ----

#if defined(_WIN32) && !defined(_WIN64)
static_assert(kSinkFaceOffset == 56, "the sink face lies 56 bytes into a module on 32-bit Windows");
#endif

TEST(Layout, SourceFaceAtTheStartSinkFaceAtItsFixedOffset) {
  TestEncoder encoder(nullptr, "E");
  TestDecoder decoder(nullptr, "D");
  EXPECT_EQ(AddressOf(encoder.source()), AddressOf(&encoder));
  EXPECT_EQ(AddressOf(decoder.source()), AddressOf(&decoder));
  EXPECT_EQ(AddressOf(encoder.sink()) - AddressOf(&encoder), kSinkFaceOffset);
  EXPECT_EQ(AddressOf(decoder.sink()) - AddressOf(&decoder), kSinkFaceOffset);
  EXPECT_EQ(SinkFaceOf(&encoder), encoder.sink());
  EXPECT_EQ(SourceFaceOf(&decoder), decoder.source());
}

}  // namespace
}  // namespace zbtest

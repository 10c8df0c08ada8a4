// The host's faces: the connection exchange from either side, removal and delivery.
#include <gtest/gtest.h>

#include <vector>

#include "host/library/HostFaces.h"
#include "tests/support/RecordingSink.h"

namespace zbtest {
namespace {

using namespace zbhost;

// Records what it is handed and can be made inactive.
class SwitchableSink : public FrameRecorder<HostSinkFace> {
 public:
  bool IsActive(AvSourceFace*) override { return active; }
  bool active = true;
};

std::vector<const AvFrame*> FramesOf(const SwitchableSink& sink) {
  std::vector<const AvFrame*> frames;
  for (const Received& r : sink.received) frames.push_back(r.frame);
  return frames;
}

TEST(HostFacesTest, ConnectingFromEitherSideRecordsThePairOnce) {
  HostSourceFace source(AV_TYPE_PCM);
  SwitchableSink sink;
  EXPECT_TRUE(source.AddOutput(&sink));
  EXPECT_TRUE(sink.AddInput(&source));
  EXPECT_TRUE(source.AddOutput(&sink));
  EXPECT_EQ(source.OutputCount(), 1u);
  EXPECT_EQ(sink.InputCount(), 1u);
  EXPECT_EQ(source.CountActiveOutputs(), 1);
}

TEST(HostFacesTest, RemovingFromEitherSideEmptiesBoth) {
  HostSourceFace source(AV_TYPE_PCM);
  SwitchableSink sink;
  sink.AddInput(&source);
  EXPECT_TRUE(sink.RemoveInput(&source));
  EXPECT_EQ(source.OutputCount(), 0u);
  EXPECT_FALSE(sink.RemoveInput(&source));
  source.AddOutput(&sink);
  EXPECT_TRUE(source.RemoveOutput(&sink));
  EXPECT_EQ(sink.InputCount(), 0u);
  EXPECT_FALSE(source.RemoveOutput(&sink));
}

TEST(HostFacesTest, DeliverySkipsInactiveOutputsAndCountsTakers) {
  HostSourceFace source(AV_TYPE_PCM);
  SwitchableSink taking, refusing, inactive;
  refusing.takes = false;
  inactive.active = false;
  source.AddOutput(&taking);
  source.AddOutput(&refusing);
  source.AddOutput(&inactive);
  AvFrame frame{};
  EXPECT_EQ(source.Deliver(&frame), 1);
  EXPECT_EQ(FramesOf(taking), std::vector<const AvFrame*>{&frame});
  EXPECT_EQ(FramesOf(refusing), std::vector<const AvFrame*>{&frame});
  EXPECT_TRUE(inactive.received.empty());
  EXPECT_EQ(source.CountActiveOutputs(), 2);
}

TEST(HostFacesTest, DestroyingEitherFaceDetachesIt) {
  HostSourceFace source(AV_TYPE_PCM);
  {
    SwitchableSink sink;
    source.AddOutput(&sink);
  }
  EXPECT_EQ(source.OutputCount(), 0u);
  SwitchableSink sink;
  sink.AddInput(&source);
  EXPECT_EQ(source.DeletingDestructor(kDeleteFreesMemory), &source);
  EXPECT_EQ(sink.InputCount(), 0u);
}

}  // namespace
}  // namespace zbtest

// The host's faces: the connection exchange from either side, removal and delivery.
#include <gtest/gtest.h>

#include <vector>

#include "host/HostFaces.h"

namespace zbhost {
namespace {

class CountingSink : public HostSinkFace {
 public:
  bool AcceptsType(uint16_t) override { return true; }
  bool IsActive(AvSourceFace*) override { return m_bActive; }
  bool HandleFrame(AvSourceFace*, AvFrame* frame) override {
    frames.push_back(frame);
    return m_bTakes;
  }
  std::vector<AvFrame*> frames;
  bool m_bActive = true;
  bool m_bTakes = true;
};

TEST(HostFacesTest, ConnectingFromEitherSideRecordsThePairOnce) {
  HostSourceFace source(AV_TYPE_PCM);
  CountingSink sink;
  EXPECT_TRUE(source.AddOutput(&sink));
  EXPECT_TRUE(sink.AddInput(&source));
  EXPECT_TRUE(source.AddOutput(&sink));
  EXPECT_EQ(source.OutputCount(), 1u);
  EXPECT_EQ(sink.InputCount(), 1u);
  EXPECT_EQ(source.CountActiveOutputs(), 1);
}

TEST(HostFacesTest, RemovingFromEitherSideEmptiesBoth) {
  HostSourceFace source(AV_TYPE_PCM);
  CountingSink sink;
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
  CountingSink taking, refusing, inactive;
  refusing.m_bTakes = false;
  inactive.m_bActive = false;
  source.AddOutput(&taking);
  source.AddOutput(&refusing);
  source.AddOutput(&inactive);
  AvFrame frame{};
  EXPECT_EQ(source.Deliver(&frame), 1);
  EXPECT_EQ(taking.frames, std::vector<AvFrame*>{&frame});
  EXPECT_EQ(refusing.frames, std::vector<AvFrame*>{&frame});
  EXPECT_TRUE(inactive.frames.empty());
  EXPECT_EQ(source.CountActiveOutputs(), 2);
}

TEST(HostFacesTest, DestroyingEitherFaceDetachesIt) {
  HostSourceFace source(AV_TYPE_PCM);
  {
    CountingSink sink;
    source.AddOutput(&sink);
  }
  EXPECT_EQ(source.OutputCount(), 0u);
  CountingSink sink;
  sink.AddInput(&source);
  EXPECT_EQ(source.DeletingDestructor(kDeleteFreesMemory), &source);
  EXPECT_EQ(sink.InputCount(), 0u);
}

}  // namespace
}  // namespace zbhost

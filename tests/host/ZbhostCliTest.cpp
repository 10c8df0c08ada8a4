// End-to-end runs of the zbhost program: the default run, file round trips, loss lists
// that are and are not recovered, the parity switch, seeded determinism, the library listing, and
// every kind of bad input with its message and exit status.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "host/HostError.h"
#include "host/Report.h"
#include "host/SpeechSignal.h"

namespace zbhost {
namespace {

// The codec restarts its step size in every 10 ms block; on speech-like audio at 16 kHz
// it reaches about 15.7 dB, and at least this much on any signal of the tests.
constexpr double kSnrFloorDb = 14.0;
constexpr double kSnrFloor8kDb = 10.0;  // at 8 kHz a block is 20 ms and the restart costs more
constexpr int32_t kRate = 16000;

struct ProcessResult {
  int status = -1;
  std::string out;
  std::string err;
};

std::string ReadAll(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

bool Exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

// A scratch path of this test process: CTest runs the tests of this file in parallel.
std::string Temp(const std::string& name) {
  return testing::TempDir() + "zbhost_" + std::to_string(getpid()) + "_" + name;
}

// Runs zbhost with `args`, capturing both output streams and the exit status.
ProcessResult RunZbhost(const std::vector<std::string>& args) {
  const std::string outPath = Temp("stdout.txt");
  const std::string errPath = Temp("stderr.txt");
  const pid_t pid = fork();
  if (pid == 0) {
    const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(out, STDOUT_FILENO);
    dup2(err, STDERR_FILENO);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(ZBHOST_BINARY));
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    execv(ZBHOST_BINARY, argv.data());
    _exit(127);
  }
  ProcessResult run;
  int status = 0;
  waitpid(pid, &status, 0);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
  run.out = ReadAll(outPath);
  run.err = ReadAll(errPath);
  return run;
}

nlohmann::json RunJson(std::vector<std::string> args) {
  args.push_back("--json");
  const ProcessResult run = RunZbhost(args);
  EXPECT_EQ(run.status, kExitOk) << run.err;
  return nlohmann::json::parse(run.out);
}

void WriteWav(const std::string& path, const std::vector<int16_t>& samples, int rate, int channels) {
  SF_INFO info{};
  info.samplerate = rate;
  info.channels = channels;
  info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
  SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
  ASSERT_NE(file, nullptr) << sf_strerror(nullptr);
  sf_write_short(file, samples.data(), static_cast<sf_count_t>(samples.size()));
  sf_close(file);
}

std::vector<int16_t> ReadWav(const std::string& path, SF_INFO& info) {
  info = SF_INFO{};
  SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
  EXPECT_NE(file, nullptr) << path;
  if (file == nullptr) return {};
  std::vector<int16_t> samples(static_cast<size_t>(info.frames * info.channels));
  sf_read_short(file, samples.data(), static_cast<sf_count_t>(samples.size()));
  sf_close(file);
  return samples;
}

TEST(ZbhostRunTest, DefaultRunReportsALosslessStream) {
  const ProcessResult run = RunZbhost({});
  ASSERT_EQ(run.status, kExitOk) << run.err;
  EXPECT_TRUE(run.err.empty()) << run.err;
  EXPECT_NE(run.out.find("frames sent               500 data, 499 parity"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("lost for good             0 frames"), std::string::npos);
  EXPECT_NE(run.out.find("identical to the lossless decode"), std::string::npos);
  EXPECT_NE(run.out.find("all returned"), std::string::npos);
  EXPECT_EQ(run.out.find("seed"), std::string::npos);  // nothing random, no seed

  const nlohmann::json report = RunJson({});
  EXPECT_EQ(report["frames"], 500);
  EXPECT_EQ(report["rate_hz"], kRate);
  EXPECT_EQ(report["frames_sent"]["parity"], 499);
  EXPECT_EQ(report["parity_not_needed"], 499);
  EXPECT_GT(report["snr_vs_input_db"].get<double>(), kSnrFloorDb);
  EXPECT_EQ(report["snr_vs_lossless_db"], nullptr);
  EXPECT_EQ(report["frame_buffers"]["leaked"], 0);
  EXPECT_DOUBLE_EQ(report["bit_rate_kbps"]["without_parity"].get<double>(), 67.2);
}

TEST(ZbhostRunTest, WavRoundTripKeepsLengthRateAndQuality) {
  const std::string in = Temp("roundtrip_in.wav");
  const std::string out = Temp("roundtrip_out.wav");
  // 2.5 s, not a whole number of frames: the last frame is padded and the output trimmed.
  const std::vector<int16_t> input = GenerateSpeechLike(kRate, 2.51);
  WriteWav(in, input, kRate, 1);
  const nlohmann::json report = RunJson({in, "-o", out});
  SF_INFO info;
  const std::vector<int16_t> output = ReadWav(out, info);
  EXPECT_EQ(info.samplerate, kRate);
  EXPECT_EQ(info.channels, 1);
  EXPECT_EQ(info.format, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
  ASSERT_EQ(output.size(), input.size());
  const double snr = SnrDb(input, output);
  EXPECT_GT(snr, kSnrFloorDb);
  EXPECT_NEAR(report["snr_vs_input_db"].get<double>(), snr, 0.01);
  EXPECT_EQ(report["input"], in);
}

TEST(ZbhostRunTest, StereoFileAtAnotherRateIsMixedAndResampled) {
  const std::string in = Temp("stereo_in.wav");
  const std::string out = Temp("stereo_out.wav");
  constexpr int kFileRate = 44100;
  const std::vector<int16_t> mono = GenerateSpeechLike(kFileRate, 1.0);
  std::vector<int16_t> stereo;
  for (int16_t s : mono) {
    stereo.push_back(s);
    stereo.push_back(static_cast<int16_t>(s / 2));
  }
  WriteWav(in, stereo, kFileRate, 2);
  const nlohmann::json report = RunJson({in, "-o", out, "--rate", "8k"});
  SF_INFO info;
  const std::vector<int16_t> output = ReadWav(out, info);
  EXPECT_EQ(info.samplerate, 8000);
  EXPECT_EQ(info.channels, 1);
  EXPECT_NEAR(static_cast<double>(output.size()), 8000.0, 2.0);
  EXPECT_EQ(report["frames"], 50);
  EXPECT_GT(report["snr_vs_input_db"].get<double>(), kSnrFloor8kDb);
}

// One row per loss list: what the report must say about it.
struct LossCase {
  const char* list;
  bool parity;
  int droppedData;
  int droppedParity;
  int repaired;
  int lostForGood;
  int longestRun;
};

class ZbhostLossListTest : public testing::TestWithParam<LossCase> {};

TEST_P(ZbhostLossListTest, ReportAndOutputMatchTheLosses) {
  const LossCase& c = GetParam();
  const std::string lossless = Temp("lossless.wav");
  const std::string lossy = Temp("lossy.wav");
  RunJson({"-o", lossless});
  std::vector<std::string> args = {"-o", lossy, "--loss", std::string("list:") + c.list};
  if (!c.parity) args.push_back("--no-parity");
  const nlohmann::json report = RunJson(args);
  EXPECT_EQ(report["dropped_by_link"]["data"], c.droppedData);
  EXPECT_EQ(report["dropped_by_link"]["parity"], c.droppedParity);
  EXPECT_EQ(report["repaired_from_parity"], c.repaired);
  EXPECT_EQ(report["lost_for_good"], c.lostForGood);
  EXPECT_EQ(report["longest_lost_run"], c.longestRun);
  EXPECT_DOUBLE_EQ(report["residual_loss_percent"].get<double>(), 100.0 * c.lostForGood / 500);
  const bool recovered = c.lostForGood == 0;
  EXPECT_EQ(report["identical_to_lossless"], recovered);
  EXPECT_EQ(ReadAll(lossy) == ReadAll(lossless), recovered);
  if (!c.parity) {
    EXPECT_EQ(report["frames_sent"]["parity"], 0);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Lists, ZbhostLossListTest,
    testing::Values(
        // Single losses, data or parity, apart from each other: all rebuilt, bit-exact.
        LossCase{"d3,d10,p20,d40,d250,d499", true, 5, 1, 5, 0, 0},
        // Two data frames in a row with their parity intact: each rebuilt from its parity.
        LossCase{"d40-41", true, 2, 0, 2, 0, 0},
        // Frames 10 and 11 lost whole (data and parity): 11 is rebuilt from 12, 10 is gone.
        LossCase{"d10,p10,d11,p11", true, 2, 2, 1, 1, 1},
        // The same single losses without parity: every lost data frame stays lost.
        LossCase{"d3,d10,p20,d40,d250,d499", false, 5, 0, 0, 5, 1},
        // A run of three without parity: the longest run is reported.
        LossCase{"d7-9", false, 3, 0, 0, 3, 3}));

TEST(ZbhostRunTest, DuplicatesAndReorderingAreAbsorbed) {
  const nlohmann::json report =
      RunJson({"--duplicate", "30", "--reorder", "30", "--seed", "11"});
  EXPECT_GT(report["duplicated_by_link"].get<int>(), 0);
  EXPECT_GT(report["reordered_by_link"].get<int>(), 0);
  EXPECT_GE(report["duplicates_dropped"].get<int>(), report["duplicated_by_link"].get<int>());
  EXPECT_EQ(report["lost_for_good"], 0);
  EXPECT_EQ(report["rendered_twice"], 0);
  EXPECT_EQ(report["identical_to_lossless"], true);
}

TEST(ZbhostRunTest, SameSeedSameReportAndEveryRandomRunNamesItsSeed) {
  const std::vector<std::string> args = {"--loss", "random:8", "--duplicate", "5", "--reorder", "5",
                                         "--seed", "1234"};
  nlohmann::json first = RunJson(args);
  nlohmann::json second = RunJson(args);
  EXPECT_EQ(first["seed"], 1234u);
  first.erase("speed_x_real_time");
  second.erase("speed_x_real_time");
  EXPECT_EQ(first, second);

  const ProcessResult unseeded = RunZbhost({"--loss", "gilbert:2,30"});
  ASSERT_EQ(unseeded.status, kExitOk) << unseeded.err;
  const size_t at = unseeded.out.find("seed ");
  ASSERT_NE(at, std::string::npos) << unseeded.out;
  std::istringstream line(unseeded.out.substr(at + 4));
  uint64_t seed = 0;
  line >> seed;
  nlohmann::json again = RunJson({"--loss", "gilbert:2,30", "--seed", std::to_string(seed)});
  nlohmann::json repeated = RunJson({"--loss", "gilbert:2,30", "--seed", std::to_string(seed)});
  again.erase("speed_x_real_time");
  repeated.erase("speed_x_real_time");
  EXPECT_EQ(again, repeated);
}

TEST(ZbhostRunTest, ConcealmentFillsLostFrames) {
  const nlohmann::json silent = RunJson({"--loss", "list:d100-101", "--no-parity"});
  const nlohmann::json concealed = RunJson({"--loss", "list:d100-101", "--no-parity", "--conceal"});
  EXPECT_EQ(concealed["concealed"], 2);
  EXPECT_EQ(silent["concealed"], 0);
  EXPECT_EQ(concealed["lost_for_good"], 2);
  EXPECT_NE(concealed["snr_vs_input_db"], silent["snr_vs_input_db"]);
}

class ZbhostRateTest : public testing::TestWithParam<int> {};

TEST_P(ZbhostRateTest, EachStreamRateRecoversASingleLoss) {
  const nlohmann::json report =
      RunJson({"--rate", std::to_string(GetParam()), "--seconds", "1", "--loss", "list:d5"});
  EXPECT_EQ(report["rate_hz"], GetParam());
  EXPECT_EQ(report["frames"], 50);
  EXPECT_EQ(report["repaired_from_parity"], 1);
  EXPECT_EQ(report["identical_to_lossless"], true);
  // One 84-byte block per 160 samples of every 20 ms frame.
  EXPECT_NEAR(report["bit_rate_kbps"]["without_parity"].get<double>(), GetParam() / 160.0 * 84 * 8 / 1000,
              1e-9);
}

INSTANTIATE_TEST_SUITE_P(Rates, ZbhostRateTest,
                         testing::Values(8000, 16000, 24000, 32000, 40000, 48000));

TEST(ZbhostListingTest, ListsInterfacesTypeIdsAndFrameTypes) {
  const ProcessResult run = RunZbhost({"inspect"});
  ASSERT_EQ(run.status, kExitOk) << run.err;
  EXPECT_NE(run.out.find("QV_AdpcmEncoder"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("0x000D008B (852107)"), std::string::npos);
  EXPECT_NE(run.out.find("0x000E008B (917643)"), std::string::npos);

  const ProcessResult json = RunZbhost({"inspect", "--json"});
  ASSERT_EQ(json.status, kExitOk) << json.err;
  const nlohmann::json listing = nlohmann::json::parse(json.out);
  const nlohmann::json& interfaces = listing["interfaces"];
  ASSERT_EQ(interfaces.size(), 2u);
  EXPECT_EQ(interfaces[0]["name"], "QV_AdpcmEncoder");
  EXPECT_EQ(interfaces[0]["type_id"], 0xD008B);
  EXPECT_EQ(interfaces[0]["output_type"], 139);
  EXPECT_EQ(interfaces[0]["accepts"], nlohmann::json({128}));
  EXPECT_EQ(interfaces[1]["name"], "QV_AdpcmDecoder");
  EXPECT_EQ(interfaces[1]["type_id"], 0xE008B);
  EXPECT_EQ(interfaces[1]["output_type"], 128);
  EXPECT_EQ(interfaces[1]["accepts"], nlohmann::json({139, 140}));
}

// One row per bad input: the arguments (with OUT standing for an output path that must
// not appear), the exit status and part of the message.
struct BadInput {
  const char* name;
  std::vector<std::string> args;
  int status;
  const char* message;
};

class ZbhostBadInputTest : public testing::TestWithParam<BadInput> {};

TEST_P(ZbhostBadInputTest, FailsCleanlyWithItsMessage) {
  const std::string out = Temp(std::string("bad_") + GetParam().name + ".wav");
  std::remove(out.c_str());
  std::vector<std::string> args;
  for (const std::string& arg : GetParam().args) args.push_back(arg == "OUT" ? out : arg);
  const ProcessResult run = RunZbhost(args);
  EXPECT_EQ(run.status, GetParam().status) << run.err;
  EXPECT_NE(run.err.find(GetParam().message), std::string::npos) << run.err;
  EXPECT_EQ(run.err.rfind("zbhost: ", 0), 0u) << run.err;
  EXPECT_TRUE(run.out.empty()) << run.out;
  EXPECT_FALSE(Exists(out));
}

std::string TextFile() {
  const std::string path = Temp("not_audio.txt");
  std::ofstream(path) << "this is not audio\n";
  return path;
}

std::string EmptyWav() {
  const std::string path = Temp("empty.wav");
  WriteWav(path, {}, kRate, 1);
  return path;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ZbhostBadInputTest,
    testing::Values(
        BadInput{"missing_file", {"/nonexistent/zbhost/in.wav", "-o", "OUT"}, kExitInput, "no such file"},
        BadInput{"directory", {"/", "-o", "OUT"}, kExitInput, "it is a directory"},
        BadInput{"not_audio", {TextFile(), "-o", "OUT"}, kExitInput, "unsupported or damaged audio file"},
        BadInput{"empty_audio", {EmptyWav(), "-o", "OUT"}, kExitInput, "holds no audio"},
        BadInput{"missing_loss_file", {"--loss", "file:/nonexistent/list", "-o", "OUT"}, kExitInput,
                 "cannot read the loss list"},
        BadInput{"no_library", {"--library", "/nonexistent/libzbadpcm.so", "-o", "OUT"}, kExitLibrary,
                 "cannot load the library"},
        BadInput{"library_not_elf", {"--library", TextFile(), "-o", "OUT"}, kExitLibrary,
                 "cannot load the library"},
        BadInput{"missing_export", {"--library", ZBHOST_FAKE_OMIT_DESTROY, "-o", "OUT"}, kExitLibrary,
                 "lacks the export zbDestroyInstance"},
        BadInput{"missing_interface", {"--library", ZBHOST_FAKE_ENCODER_ONLY, "-o", "OUT"},
                 kExitLibrary, "does not offer the interface QV_AdpcmDecoder"},
        BadInput{"missing_descriptor", {"--library", ZBHOST_FAKE_NO_DESCRIPTOR, "-o", "OUT"},
                 kExitLibrary, "does not offer the interface IZBAvChildModule"},
        BadInput{"inspect_missing_export", {"inspect", "--library", ZBHOST_FAKE_OMIT_DESTROY},
                 kExitLibrary, "lacks the export zbDestroyInstance"},
        BadInput{"bad_rate", {"--rate", "44100", "-o", "OUT"}, kExitUsage, "is not a stream rate"},
        BadInput{"bad_loss_model", {"--loss", "lots", "-o", "OUT"}, kExitUsage, "unknown loss model"},
        BadInput{"bad_loss_rate", {"--loss", "random:150", "-o", "OUT"}, kExitUsage, "percentage"},
        BadInput{"bad_loss_entry", {"--loss", "list:q4", "-o", "OUT"}, kExitUsage, "bad frame list entry"},
        BadInput{"bad_duplicate", {"--duplicate", "-3", "-o", "OUT"}, kExitUsage, "--duplicate"},
        BadInput{"bad_seed", {"--seed", "many", "-o", "OUT"}, kExitUsage, "--seed"},
        BadInput{"unknown_option", {"--frobnicate", "-o", "OUT"}, kExitUsage, "frobnicate"},
        BadInput{"seconds_with_file", {"in.wav", "--seconds", "3", "-o", "OUT"}, kExitUsage,
                 "--seconds"},
        BadInput{"unwritable_output", {"-o", "/nonexistent/zbhost/out.wav"}, kExitOutput,
                 "cannot write '/nonexistent/zbhost/out.wav'"}),
    [](const testing::TestParamInfo<BadInput>& row) { return std::string(row.param.name); });

}  // namespace
}  // namespace zbhost

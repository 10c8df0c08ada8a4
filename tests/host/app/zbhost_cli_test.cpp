// End-to-end runs of the zbhost program: the default run, file round trips, loss lists
// that are and are not recovered, the parity switch, seeded determinism, the library listing,
// where the output goes (files, links, devices, FIFOs, standard output), the per-frame table,
// the plot, the comparison, the messages, and every kind of bad input with its message and
// exit status.
#include <gtest/gtest.h>

#include <expat.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sndfile.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "host/base/HostError.h"
#include "host/io/FileName.h"
#include "host/report/Report.h"
#include "host/io/SpeechSignal.h"
#include "tests/support/CaseNames.h"
#include "tests/support/ScratchDir.h"

namespace zbtest {
namespace {

using namespace zbhost;

// The codec restarts its step size in every 10 ms block; on speech-like audio at 16 kHz
// it reaches about 15.7 dB, and at least this much on any signal of the tests.
constexpr double kSnrFloorDb = 14.0;
// --compare's columns.
constexpr int kParityConcealedColumn = 1;
constexpr int kNoParityColumn = 2;
constexpr int kNoParityConcealedColumn = 3;
constexpr size_t kCompareColumns = 4;
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

// A scratch path of this test process (CTest runs the tests of this file in parallel), removed
// with the process's scratch folder.
std::string Temp(const std::string& name) { return ScratchDir::ForProcess().File(name); }

// Starts zbhost with `args`, its output streams going to the two files.
// Under LeakSanitizer, the caches third-party libraries keep for the process's life are
// not leaks of zbhost's (see lsan.supp). Thread-local storage is not scanned: zbhost loads the
// codec library with dlopen, so its thread-locals are dynamic TLS, and GCC 12's leak checker
// now and then crashes at exit reading the dynamic TLS vector ("Tracer caught signal 11").
void AllowLibraryCaches() {
  const char* current = std::getenv("LSAN_OPTIONS");
  const std::string options = std::string(current != nullptr ? current : "") +
                              ":use_tls=0:print_suppressions=0:suppressions=" ZBHOST_LSAN_SUPPRESSIONS;
  setenv("LSAN_OPTIONS", options.c_str(), 1);
}

// `fileSizeLimit` (bytes, 0: none) stands in for a full disk.
pid_t StartZbhost(const std::vector<std::string>& args, const std::string& outPath,
                  const std::string& errPath, rlim_t fileSizeLimit = 0) {
  const pid_t pid = fork();
  if (pid == 0) {
    if (fileSizeLimit > 0) {
      const struct rlimit limit {fileSizeLimit, fileSizeLimit};
      setrlimit(RLIMIT_FSIZE, &limit);
    }
    const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(out, STDOUT_FILENO);
    dup2(err, STDERR_FILENO);
    signal(SIGINT, SIG_DFL);  // as from a terminal, whatever the test runner ignores
    AllowLibraryCaches();
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(ZBHOST_BINARY));
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    execv(ZBHOST_BINARY, argv.data());
    _exit(127);
  }
  return pid;
}

// The exit status, or minus the signal that ended the process.
int WaitStatus(pid_t pid) {
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
}

// Runs zbhost with `args`, capturing both output streams and the exit status.
ProcessResult RunZbhost(const std::vector<std::string>& args) {
  const std::string outPath = Temp("stdout.txt");
  const std::string errPath = Temp("stderr.txt");
  ProcessResult run;
  run.status = WaitStatus(StartZbhost(args, outPath, errPath));
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

void WriteWav(const std::string& path, const std::vector<int16_t>& samples, int rate, int channels,
              int format = SF_FORMAT_WAV | SF_FORMAT_PCM_16) {
  SF_INFO info{};
  info.samplerate = rate;
  info.channels = channels;
  info.format = format;
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
  EXPECT_EQ(report["encoder"], "specified");
  EXPECT_EQ(report["speech"]["vs_lossless"]["stoi"], 1.0);
  EXPECT_GT(report["speech"]["vs_input"]["stoi"].get<double>(), 0.8);
  EXPECT_GT(report["speech"]["vs_input"]["segmental_snr_db"].get<double>(), kSnrFloorDb);
  EXPECT_EQ(report["speech"]["vs_lossless"]["lost_speech_frames"], 0);
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
  EXPECT_EQ(report["input"]["path"], in);
  EXPECT_EQ(report["input"]["rate_hz"], kRate);
  EXPECT_EQ(report["output"]["format"], "WAV");
}

// One row per input rate and rate option: the stream rate chosen, the written rate, and
// the SNR the decode must keep against the input.
struct RateCase : NamedRow {
  int fileRate;
  int channels;
  std::vector<std::string> options;
  int streamRate;
  int outputRate;
  double snrFloorDb;
};

class ZbhostInputRateTest : public testing::TestWithParam<RateCase> {};

TEST_P(ZbhostInputRateTest, StreamFollowsTheInputAndOutputComesBackAtItsRate) {
  const RateCase& c = GetParam();
  const std::string in = Temp(std::string("rate_in_") + c.name + ".wav");
  const std::string out = Temp(std::string("rate_out_") + c.name + ".wav");
  const std::vector<int16_t> mono = GenerateSpeechLike(c.fileRate, 1.0);
  std::vector<int16_t> interleaved;
  for (int16_t s : mono) {
    interleaved.push_back(s);
    if (c.channels == 2) interleaved.push_back(static_cast<int16_t>(s / 2));
  }
  WriteWav(in, interleaved, c.fileRate, c.channels);
  std::vector<std::string> args = {in, "-o", out};
  args.insert(args.end(), c.options.begin(), c.options.end());
  const nlohmann::json report = RunJson(args);
  EXPECT_EQ(report["rate_hz"], c.streamRate);
  EXPECT_EQ(report["frames"], 50);
  EXPECT_EQ(report["input"]["channels"], c.channels);
  EXPECT_EQ(report["output"]["rate_hz"], c.outputRate);
  EXPECT_GT(report["snr_vs_input_db"].get<double>(), c.snrFloorDb);
  SF_INFO info;
  const std::vector<int16_t> output = ReadWav(out, info);
  EXPECT_EQ(info.samplerate, c.outputRate);
  EXPECT_EQ(info.channels, 1);
  // Written back at the input's rate, the output lines up with the input sample for sample.
  if (c.outputRate == c.fileRate) {
    EXPECT_EQ(output.size(), mono.size());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Rates, ZbhostInputRateTest,
    testing::Values(
        // 8 kHz in stays 8 kHz, in and out.
        RateCase{"narrowband_stays", 8000, 1, {}, 8000, 8000, kSnrFloor8kDb},
        // 44.1 kHz stereo is mixed, streamed at 16 kHz and written back at 44.1 kHz.
        RateCase{"cd_rate_round_trip", 44100, 2, {}, 16000, 44100, kSnrFloor8kDb},
        // --rate still chooses, and --output-rate picks the written rate.
        RateCase{"rate_options", 44100, 2, {"--rate", "8k", "--output-rate", "22050"}, 8000, 22050,
                 kSnrFloor8kDb},
        RateCase{"output_rate_only", 16000, 1, {"--output-rate", "48k"}, 16000, 48000, kSnrFloorDb}),
    RowName());

// One row per loss list: what the report must say about it.
struct LossCase : NamedRow {
  const char* list;
  bool parity;
  int droppedData;
  int droppedParity;
  int repaired;
  int lostForGood;
  int longestRun;
  int parityDelay = 0;  // --parity-delay
};

class ZbhostLossListTest : public testing::TestWithParam<LossCase> {};

TEST_P(ZbhostLossListTest, ReportAndOutputMatchTheLosses) {
  const LossCase& c = GetParam();
  const std::string lossless = Temp("lossless.wav");
  const std::string lossy = Temp("lossy.wav");
  RunJson({"-o", lossless});
  std::vector<std::string> args = {"-o", lossy, "--loss", std::string("list:") + c.list};
  if (!c.parity) args.push_back("--no-parity");
  args.insert(args.end(), {"--parity-delay", std::to_string(c.parityDelay)});
  const nlohmann::json report = RunJson(args);
  EXPECT_EQ(report["link"]["parity_delay_frames"], c.parityDelay);
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
        LossCase{"singles_with_parity", "d3,d10,p20,d40,d250,d499", true, 5, 1, 5, 0, 0},
        // Two data frames in a row with their parity intact: each rebuilt from its parity.
        LossCase{"two_in_a_row_with_parity", "d40-41", true, 2, 0, 2, 0, 0},
        // Frames 10 and 11 lost whole (data and parity): 11 is rebuilt from 12, 10 is gone.
        LossCase{"two_lost_whole", "d10,p10,d11,p11", true, 2, 2, 1, 1, 1},
        // The same slots with parity one frame late: parity 11 comes, but frame 10 still goes.
        LossCase{"two_lost_whole_parity_one_late", "d10,p10,d11,p11", true, 2, 2, 1, 1, 1, 1},
        // ... and two frames late: the slots take parity 8 and 9, and 10 and 11 come back
        // from the parity frames sent after them.
        LossCase{"two_lost_whole_parity_two_late", "d10,p10,d11,p11", true, 2, 2, 2, 0, 0, 2},
        // The same single losses without parity: every lost data frame stays lost.
        LossCase{"singles_without_parity", "d3,d10,p20,d40,d250,d499", false, 5, 0, 0, 5, 1},
        // A run of three without parity: the longest run is reported.
        LossCase{"run_of_three_without_parity", "d7-9", false, 3, 0, 0, 3, 3}),
    RowName());

TEST(ZbhostRunTest, DuplicatesAndReorderingAreAbsorbed) {
  const nlohmann::json report =
      RunJson({"--duplicate", "30", "--reorder", "30", "--seed", "11"});
  EXPECT_GT(report["duplicated_by_link"].get<int>(), 0);
  EXPECT_GT(report["reordered_by_link"].get<int>(), 0);
  EXPECT_GE(report["duplicates_dropped"].get<int>(), report["duplicated_by_link"].get<int>());
  EXPECT_EQ(report["lost_for_good"], 0);
  // A data frame held back behind its parity comes after its rebuild has played.
  EXPECT_EQ(report["late_frames"], report["rebuilt_ahead_of_late_data"]);
  EXPECT_EQ(report["identical_to_lossless"], true);
}

TEST(ZbhostRunTest, SameSeedSameReportAndEveryRandomRunNamesItsSeed) {
  const std::vector<std::string> args = {"--loss", "random:8", "--duplicate", "5", "--reorder", "5",
                                         "--seed", "1234"};
  nlohmann::json first = RunJson(args);
  nlohmann::json second = RunJson(args);
  EXPECT_EQ(first["link"]["seed"], 1234u);
  for (nlohmann::json* report : {&first, &second}) {
    report->erase("speed_x_real_time");
    report->erase("seconds");
  }
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
  for (nlohmann::json* report : {&again, &repeated}) {
    report->erase("speed_x_real_time");
    report->erase("seconds");
  }
  EXPECT_EQ(again, repeated);
}

TEST(ZbhostRunTest, ConcealmentFillsLostFrames) {
  const nlohmann::json silent = RunJson({"--loss", "list:d100-101", "--no-parity"});
  const nlohmann::json concealed = RunJson({"--loss", "list:d100-101", "--no-parity", "--conceal"});
  EXPECT_EQ(concealed["concealed"], 2);
  EXPECT_EQ(silent["concealed"], 0);
  EXPECT_EQ(concealed["lost_for_good"], 2);
  EXPECT_NE(concealed["snr_vs_input_db"], silent["snr_vs_input_db"]);
  // Over many losses the fill is far closer in spectrum than silence, and more intelligible.
  const nlohmann::json many = RunJson({"--loss", "random:10", "--seed", "1", "--compare"});
  const nlohmann::json& silentColumn = many["compare"][kNoParityColumn]["speech"]["vs_lossless"];
  const nlohmann::json& filledColumn = many["compare"][kNoParityConcealedColumn]["speech"]["vs_lossless"];
  EXPECT_LT(filledColumn["lost_speech_lsd_db"].get<double>() + 10.0,
            silentColumn["lost_speech_lsd_db"].get<double>());
  EXPECT_GT(filledColumn["stoi"].get<double>(), silentColumn["stoi"].get<double>());
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

TEST(ZbhostHelpTest, FitsInAHundredColumns) {
  constexpr size_t kColumns = 100;
  const ProcessResult help = RunZbhost({"--help"});
  std::istringstream lines(help.out);
  std::string line;
  while (std::getline(lines, line)) EXPECT_LE(line.size(), kColumns) << line;
}

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
struct BadInput : NamedRow {
  std::vector<std::string> args;
  int status;
  const char* message;
};

class ZbhostBadInputTest : public testing::TestWithParam<BadInput> {};

TEST_P(ZbhostBadInputTest, FailsCleanlyWithItsMessage) {
  const std::string out = Temp(std::string("bad_") + GetParam().name + ".wav");
  std::remove(out.c_str());
  std::vector<std::string> args;
  for (const std::string& arg : GetParam().args) {
    args.push_back(arg.rfind("OUT", 0) == 0 ? out + arg.substr(3) : arg);
  }
  const ProcessResult run = RunZbhost(args);
  EXPECT_EQ(run.status, GetParam().status) << run.err;
  EXPECT_NE(run.err.find(GetParam().message), std::string::npos) << run.err;
  EXPECT_EQ(run.err.rfind("zbhost: ", 0), 0u) << run.err;
  EXPECT_TRUE(run.out.empty()) << run.out;
  EXPECT_FALSE(Exists(out));
  EXPECT_FALSE(Exists(out + ".xyz"));
  EXPECT_FALSE(Exists(out + ".opus"));
}

std::string TextFile() {
  const std::string path = Temp("not_audio.txt");
  std::ofstream(path) << "this is not audio\n";
  return path;
}

// A FIFO nobody writes: a program that opened it would wait forever.
std::string Fifo() {
  const std::string path = Temp("idle_fifo");
  mkfifo(path.c_str(), 0600);
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
        BadInput{"parity_delay_too_long", {"--parity-delay", "9", "-o", "OUT"}, kExitUsage, "--parity-delay"},
        BadInput{"bad_seed", {"--seed", "many", "-o", "OUT"}, kExitUsage, "--seed"},
        BadInput{"unknown_option", {"--frobnicate", "-o", "OUT"}, kExitUsage, "frobnicate"},
        BadInput{"seconds_zero_with_file", {"in.wav", "--seconds", "0", "-o", "OUT"}, kExitUsage,
                 "--seconds must be above 0"},
        BadInput{"unwritable_output", {"-o", "/nonexistent/zbhost/out.wav"}, kExitOutput,
                 "cannot write '/nonexistent/zbhost/out.wav'"},
        // The output is checked before anything else: the missing library is never reached.
        BadInput{"output_before_library", {"-o", "/", "--library", "/nonexistent/lib.so"}, kExitOutput,
                 "it is a directory"},
        BadInput{"empty_output_name", {"-o", ""}, kExitUsage, "--output needs a file name"},
        // An empty variable in a script is no wish for the built-in signal.
        BadInput{"empty_input_name", {"", "-o", "OUT"}, kExitUsage, "the input name is empty"},
        BadInput{"built_in_and_input", {"--built-in", "in.wav", "-o", "OUT"}, kExitUsage, "excludes"},
        // One FIFO as input and output is refused before either end is opened.
        BadInput{"fifo_as_input_and_output", {Fifo(), "-o", Fifo()}, kExitOutput, "it is the input"},
        BadInput{"frames_onto_audio_output", {"-o", "-", "--frames", "-"}, kExitOutput,
                 "it is the audio output"},
        BadInput{"unknown_container", {"-o", "OUT.xyz"}, kExitOutput, "no audio container uses"},
        // The plot's form follows its name; any other is refused before the work.
        BadInput{"plot_in_unknown_form", {"--plot", "OUT.pdf"}, kExitOutput, "drawn as .svg or .png"},
        BadInput{"plot_range_backwards", {"--plot-range", "1:05-30", "-o", "OUT"}, kExitUsage,
                 "ends before it starts"},
        // A range that could do nothing is refused: without a picture, or past the input's
        // end (given as H:MM:SS).
        BadInput{"plot_range_without_plot", {"--plot-range", "0-1", "-o", "OUT"}, kExitUsage,
                 "add --plot"},
        BadInput{"plot_range_beyond_input",
                 {"--seconds", "2", "--plot-range", "0:00:03-0:00:04", "--plot", "OUT.svg", "-o", "OUT"},
                 kExitUsage, "after the input's end at 2.00 s"},
        BadInput{"container_refuses_rate", {"-o", "OUT.opus", "--output-rate", "44100"}, kExitOutput,
                 "Opus only supports sample rates of 8000, 12000, 16000, 24000, and 48000. Use "
                 "--output-rate 48000."},
        // A second name, as cp takes it, is meant as the output.
        BadInput{"second_name_as_output", {"in.wav", "OUT"}, kExitUsage, "name it with -o "},
        // Headerless input needs its rate; its form without -t raw would do nothing.
        BadInput{"raw_without_rate", {"-", "-t", "raw", "-o", "OUT"}, kExitUsage, "needs --input-rate"},
        BadInput{"raw_form_without_type", {"--input-rate", "8000", "-o", "OUT"}, kExitUsage, "add -t raw"},
        BadInput{"nan_duplicate", {"--duplicate", "nan", "-o", "OUT"}, kExitUsage, "--duplicate must be"},
        BadInput{"infinite_reorder", {"--reorder", "inf", "-o", "OUT"}, kExitUsage, "--reorder must be"},
        BadInput{"nan_seconds", {"--seconds", "nan", "-o", "OUT"}, kExitUsage, "--seconds must be"},
        BadInput{"seed_beyond_64_bits", {"--seed", "18446744073709551616", "-o", "OUT"}, kExitUsage,
                 "--seed must be a whole number"},
        BadInput{"negative_seed", {"--seed", "-1", "-o", "OUT"}, kExitUsage, "--seed must be"},
        BadInput{"bad_output_rate", {"--output-rate", "44.1", "-o", "OUT"}, kExitUsage, "--output-rate"},
        BadInput{"loss_file_is_directory", {"--loss", "file:/", "-o", "OUT"}, kExitInput,
                 "it is a directory"},
        BadInput{"loss_file_is_binary", {"--loss", "file:" ZBHOST_BINARY, "-o", "OUT"}, kExitInput,
                 "is not text"},
        BadInput{"quiet_and_verbose", {"-q", "-v", "-o", "OUT"}, kExitUsage, "excludes"},
        BadInput{"compare_without_parity", {"--compare", "--no-parity", "-o", "OUT"}, kExitUsage,
                 "excludes"},
        BadInput{"unknown_encoder", {"--encoder", "fast", "-o", "OUT"}, kExitUsage,
                 "--encoder takes specified, carried, search or search-deep"},
        BadInput{"one_encoder_to_compare", {"--compare-encoders", "search", "-o", "OUT"}, kExitUsage,
                 "--compare-encoders takes two modes"},
        BadInput{"same_encoder_twice", {"--compare-encoders", "carried,carried", "-o", "OUT"},
                 kExitUsage, "two different modes"},
        BadInput{"encoders_and_compare", {"--compare-encoders", "carried,search", "--compare", "-o", "OUT"},
                 kExitUsage, "excludes"}),
    RowName());

// What a finished run left at an output target, for the rows below to check.
struct TargetState {
  ProcessResult run;
  std::string path;     // the name given to -o
  std::string written;  // what reached a FIFO's reader
};

// One row per kind of output target: how to prepare it (returning the name for -o), the
// exit status, and what must hold afterwards. Every row runs as the current user, on files
// of its own.
struct TargetCase : NamedRow {
  std::function<std::string(const std::string& dir)> prepare;
  int status;
  std::function<void(const TargetState&)> check;
};

constexpr char kOriginal[] = "original content";

bool IsWav(const std::string& bytes) { return bytes.rfind("RIFF", 0) == 0 && bytes.find("WAVE") == 8; }

std::string MakeFile(const std::string& path, mode_t mode) {
  std::ofstream(path) << kOriginal;
  chmod(path.c_str(), mode);
  return path;
}

mode_t ModeOf(const std::string& path) {
  struct stat st {};
  lstat(path.c_str(), &st);
  return st.st_mode;
}

// A null device of the test's own where it may make one (as root), so that a fault could
// never replace the system's /dev/null; otherwise /dev/null, which a user cannot replace.
std::string NullDevice(const std::string& dir) {
  const std::string own = dir + "/null";
  constexpr unsigned kNullMajor = 1;
  constexpr unsigned kNullMinor = 3;
  if (geteuid() == 0 && mknod(own.c_str(), S_IFCHR | 0666, makedev(kNullMajor, kNullMinor)) == 0) {
    return own;
  }
  return "/dev/null";
}

void RefusedAsInput(const TargetState& s) {
  EXPECT_NE(s.run.err.find("it is the input"), std::string::npos) << s.run.err;
}

class ZbhostOutputTargetTest : public testing::TestWithParam<TargetCase> {};

TEST_P(ZbhostOutputTargetTest, WritesTheWayUnixToolsDoAndNeverDestroys) {
  const std::string dir = Temp(std::string("target_") + GetParam().name);
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  const std::string input = dir + "/in.wav";
  WriteWav(input, GenerateSpeechLike(kRate, 0.5), kRate, 1);
  const std::string inputBytes = ReadAll(input);

  TargetState state;
  state.path = GetParam().prepare(dir);
  // A FIFO's reader runs beside the program; it is released when the program is done.
  std::thread reader;
  const bool fifo = S_ISFIFO(ModeOf(state.path));
  if (fifo) reader = std::thread([&state] { state.written = ReadAll(state.path); });
  state.run = RunZbhost({input, "-o", state.path, "--loss", "list:d3", "--no-parity"});
  if (fifo) {
    const int release = open(state.path.c_str(), O_WRONLY | O_NONBLOCK);
    if (release >= 0) close(release);
    reader.join();
  }
  EXPECT_EQ(state.run.status, GetParam().status) << state.run.err;
  EXPECT_EQ(ReadAll(input), inputBytes) << "the input was changed";
  GetParam().check(state);
}

INSTANTIATE_TEST_SUITE_P(
    Targets, ZbhostOutputTargetTest,
    testing::Values(
        // The input named as output, directly or through a link, is refused untouched.
        TargetCase{"input_itself", [](const std::string& dir) { return dir + "/in.wav"; }, kExitOutput,
                   RefusedAsInput},
        TargetCase{"symlink_to_input",
                   [](const std::string& dir) {
                     symlink("in.wav", (dir + "/alias.wav").c_str());
                     return dir + "/alias.wav";
                   },
                   kExitOutput,
                   RefusedAsInput},
        TargetCase{"hard_link_to_input",
                   [](const std::string& dir) {
                     link((dir + "/in.wav").c_str(), (dir + "/twin.wav").c_str());
                     return dir + "/twin.wav";
                   },
                   kExitOutput,
                   RefusedAsInput},
        // A read-only file keeps its content and mode.
        TargetCase{"read_only_file", [](const std::string& dir) { return MakeFile(dir + "/ro.wav", 0444); },
                   kExitOutput,
                   [](const TargetState& s) {
                     EXPECT_NE(s.run.err.find("read-only"), std::string::npos) << s.run.err;
                     EXPECT_EQ(ReadAll(s.path), kOriginal);
                     EXPECT_EQ(ModeOf(s.path) & 0777, 0444u);
                     EXPECT_TRUE(s.run.out.empty());
                   }},
        // An existing file is rewritten in place: its mode stays.
        TargetCase{"existing_file_keeps_mode",
                   [](const std::string& dir) { return MakeFile(dir + "/private.wav", 0600); }, kExitOk,
                   [](const TargetState& s) {
                     EXPECT_TRUE(IsWav(ReadAll(s.path)));
                     EXPECT_EQ(ModeOf(s.path) & 0777, 0600u);
                   }},
        // A symbolic link is followed: it stays a link and its target holds the audio.
        TargetCase{"symlink_followed",
                   [](const std::string& dir) {
                     MakeFile(dir + "/target.wav", 0644);
                     symlink("target.wav", (dir + "/link.wav").c_str());
                     return dir + "/link.wav";
                   },
                   kExitOk,
                   [](const TargetState& s) {
                     EXPECT_TRUE(S_ISLNK(ModeOf(s.path)));
                     const std::string target = s.path.substr(0, s.path.rfind('/')) + "/target.wav";
                     EXPECT_TRUE(IsWav(ReadAll(target)));
                   }},
        // A file with another hard link: the name given gets the result, the other name
        // keeps the old content, and the run says so.
        TargetCase{"hard_link_keeps_old_content",
                   [](const std::string& dir) {
                     MakeFile(dir + "/first.wav", 0644);
                     link((dir + "/first.wav").c_str(), (dir + "/second.wav").c_str());
                     return dir + "/second.wav";
                   },
                   kExitOk,
                   [](const TargetState& s) {
                     const std::string first = s.path.substr(0, s.path.rfind('/')) + "/first.wav";
                     EXPECT_TRUE(IsWav(ReadAll(s.path)));
                     EXPECT_EQ(ReadAll(first), kOriginal);
                     EXPECT_NE(s.run.err.find("has 1 other hard link; it keeps the old content"),
                               std::string::npos)
                         << s.run.err;
                   }},
        // A hidden result that a killed run left beside the target is named, with how to
        // remove it, and left alone.
        TargetCase{"leftover_of_killed_run_named",
                   [](const std::string& dir) {
                     MakeFile(dir + "/.left.wav.zbhost-Ab12Cd", 0600);
                     return dir + "/left.wav";
                   },
                   kExitOk,
                   [](const TargetState& s) {
                     const std::string dir = s.path.substr(0, s.path.rfind('/'));
                     EXPECT_NE(s.run.err.find("1 unfinished result of an interrupted run lies beside"),
                               std::string::npos)
                         << s.run.err;
                     EXPECT_NE(s.run.err.find("(.left.wav.zbhost-Ab12Cd)"), std::string::npos) << s.run.err;
                     EXPECT_NE(s.run.err.find("rm -- '" + dir + "/.left.wav.zbhost-'*"), std::string::npos)
                         << s.run.err;
                     EXPECT_EQ(ReadAll(dir + "/.left.wav.zbhost-Ab12Cd"), kOriginal);
                   }},
        // A FIFO is written in place and its reader gets a whole WAV file.
        TargetCase{"fifo",
                   [](const std::string& dir) {
                     mkfifo((dir + "/pipe").c_str(), 0600);
                     return dir + "/pipe";
                   },
                   kExitOk,
                   [](const TargetState& s) {
                     EXPECT_TRUE(IsWav(s.written));
                     EXPECT_TRUE(S_ISFIFO(ModeOf(s.path)));
                   }},
        // Thrown away into a null device, which stays the device it is.
        TargetCase{"null_device", NullDevice, kExitOk,
                   [](const TargetState& s) { EXPECT_TRUE(S_ISCHR(ModeOf(s.path))); }},
        // Standard output carries the audio; the report moves to standard error.
        TargetCase{"dash_is_standard_output", [](const std::string&) { return std::string("-"); }, kExitOk,
                   [](const TargetState& s) {
                     EXPECT_TRUE(IsWav(s.run.out));
                     EXPECT_NE(s.run.err.find("lost for good"), std::string::npos) << s.run.err;
                   }},
        // The same through a link like /dev/stdout.
        TargetCase{"link_to_standard_output",
                   [](const std::string& dir) {
                     symlink("/proc/self/fd/1", (dir + "/stdout").c_str());
                     return dir + "/stdout";
                   },
                   kExitOk,
                   [](const TargetState& s) {
                     EXPECT_TRUE(IsWav(s.run.out));
                     EXPECT_NE(s.run.err.find("lost for good"), std::string::npos) << s.run.err;
                   }},
        // The container follows the name.
        TargetCase{"flac_by_extension", [](const std::string& dir) { return dir + "/out.flac"; }, kExitOk,
                   [](const TargetState& s) { EXPECT_EQ(ReadAll(s.path).rfind("fLaC", 0), 0u); }},
        // A link to nowhere is refused rather than guessed at.
        TargetCase{"dangling_symlink",
                   [](const std::string& dir) {
                     symlink("missing/out.wav", (dir + "/dangling.wav").c_str());
                     return dir + "/dangling.wav";
                   },
                   kExitOutput,
                   [](const TargetState& s) {
                     EXPECT_NE(s.run.err.find("symbolic link to a missing file"), std::string::npos);
                   }}),
    RowName());

// The hidden file a run writes beside `path` until its result is complete.
bool PendingBeside(const std::string& path) {
  const std::filesystem::path target(path);
  const std::string prefix = "." + target.filename().string() + ".zbhost-";
  for (const auto& entry : std::filesystem::directory_iterator(target.parent_path())) {
    if (entry.path().filename().string().rfind(prefix, 0) == 0) return true;
  }
  return false;
}

TEST(ZbhostRunTest, InterruptedRunLeavesNoOutputBehind) {
  // The input is a FIFO nobody writes, so the run waits in its reading, output started.
  const std::string in = Temp("interrupt_in");
  const std::string out = Temp("interrupt_out.wav");
  std::remove(in.c_str());
  std::remove(out.c_str());
  ASSERT_EQ(mkfifo(in.c_str(), 0600), 0);
  const pid_t pid = StartZbhost({in, "-o", out}, Temp("interrupt_stdout"), Temp("interrupt_stderr"));
  constexpr int kPolls = 1000;
  constexpr useconds_t kPollMicroseconds = 10000;
  for (int poll = 0; poll < kPolls && !PendingBeside(out); ++poll) usleep(kPollMicroseconds);
  EXPECT_TRUE(PendingBeside(out)) << "the output is started before any work";
  EXPECT_FALSE(Exists(out)) << "the name is taken only by a complete result";
  kill(pid, SIGINT);
  EXPECT_EQ(WaitStatus(pid), -SIGINT);
  EXPECT_FALSE(Exists(out));
  EXPECT_FALSE(PendingBeside(out));
}

TEST(ZbhostRunTest, StandardInputStreamsLikeAFile) {
  const std::string in = Temp("stdin_in.wav");
  WriteWav(in, GenerateSpeechLike(kRate, 0.5), kRate, 1);
  const ProcessResult direct = RunZbhost({in, "--json"});
  // The child's standard input is the file, opened by a shell-free redirection.
  const int saved = dup(STDIN_FILENO);
  const int file = open(in.c_str(), O_RDONLY);
  dup2(file, STDIN_FILENO);
  const ProcessResult piped = RunZbhost({"-", "--json"});
  dup2(saved, STDIN_FILENO);
  close(file);
  close(saved);
  ASSERT_EQ(piped.status, kExitOk) << piped.err;
  nlohmann::json a = nlohmann::json::parse(direct.out);
  nlohmann::json b = nlohmann::json::parse(piped.out);
  EXPECT_EQ(b["input"]["path"], "-");
  EXPECT_EQ(a["snr_vs_input_db"], b["snr_vs_input_db"]);
  EXPECT_EQ(a["frames"], b["frames"]);

  // The same samples without a header, described by -t raw, stream the same.
  const std::string raw = Temp("stdin_in.raw");
  const std::vector<int16_t> samples = GenerateSpeechLike(kRate, 0.5);
  std::ofstream(raw, std::ios::binary)
      .write(reinterpret_cast<const char*>(samples.data()), static_cast<std::streamsize>(samples.size() * 2));
  const int rawFile = open(raw.c_str(), O_RDONLY);
  const int kept = dup(STDIN_FILENO);
  dup2(rawFile, STDIN_FILENO);
  const ProcessResult headerless =
      RunZbhost({"-", "-t", "raw", "--input-rate", "16k", "--input-encoding", "s16", "--json"});
  dup2(kept, STDIN_FILENO);
  close(rawFile);
  close(kept);
  ASSERT_EQ(headerless.status, kExitOk) << headerless.err;
  const nlohmann::json c = nlohmann::json::parse(headerless.out);
  EXPECT_EQ(a["snr_vs_input_db"], c["snr_vs_input_db"]);
  EXPECT_EQ(a["frames"], c["frames"]);
  EXPECT_EQ(c["warnings"], nlohmann::json::array());
}

// A report (or audio) that cannot be written fails the run, whatever its form, and says why
// in the system's words, not libsndfile's.
class ZbhostReportLostTest : public testing::TestWithParam<std::vector<std::string>> {};

TEST_P(ZbhostReportLostTest, ExitsWithTheOutputStatus) {
  const std::string err = Temp("full_stderr.txt");
  EXPECT_EQ(WaitStatus(StartZbhost(GetParam(), "/dev/full", err)), kExitOutput);
  EXPECT_NE(ReadAll(err).find("cannot write"), std::string::npos) << ReadAll(err);
  EXPECT_EQ(ReadAll(err).find("System error"), std::string::npos) << ReadAll(err);
}

INSTANTIATE_TEST_SUITE_P(Reports, ZbhostReportLostTest,
                         testing::Values(std::vector<std::string>{"--seconds", "1"},
                                         std::vector<std::string>{"--seconds", "1", "--json"},
                                         std::vector<std::string>{"--seconds", "1", "--compare"},
                                         std::vector<std::string>{"--seconds", "1", "-o", "-"},
                                         std::vector<std::string>{"inspect"}));

// A disk that fills up (a file-size limit here) leaves an existing file whole and no new
// or hidden file behind: one row per output.
class ZbhostFullDiskTest : public testing::TestWithParam<const char*> {};

TEST_P(ZbhostFullDiskTest, LeavesTheOldFileWhole) {
  const std::string dir = Temp(std::string("full_") + GetParam());
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  const std::string kept = MakeFile(dir + "/keep", 0640);
  constexpr rlim_t kLimitBytes = 100000;  // a few seconds of audio
  const pid_t pid = StartZbhost({"--seconds", "120", GetParam(), kept}, dir + "/out", dir + "/err",
                                kLimitBytes);
  EXPECT_EQ(WaitStatus(pid), kExitOutput);
  EXPECT_NE(ReadAll(dir + "/err").find("File too large"), std::string::npos) << ReadAll(dir + "/err");
  EXPECT_EQ(ReadAll(kept), kOriginal);
  EXPECT_EQ(ModeOf(kept) & 0777, 0640u);
  EXPECT_FALSE(PendingBeside(kept));
}

INSTANTIATE_TEST_SUITE_P(Outputs, ZbhostFullDiskTest, testing::Values("-o", "--frames"),
                         [](const testing::TestParamInfo<const char*>& row) {
                           return std::string(row.param + (row.param[1] == '-' ? 2 : 1));
                         });

// Output follows input through pipes: with a second of audio sent and the input still
// open, most of it comes out decoded before any more goes in.
TEST(ZbhostRunTest, PipesStreamLive) {
  const std::string wav = Temp("live.wav");
  WriteWav(wav, GenerateSpeechLike(kRate, 1), kRate, 1);
  const std::string bytes = ReadAll(wav);
  int in[2];
  int out[2];
  ASSERT_EQ(pipe(in), 0);
  ASSERT_EQ(pipe(out), 0);
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(in[0], STDIN_FILENO);
    dup2(out[1], STDOUT_FILENO);
    for (int fd : {in[0], in[1], out[0], out[1]}) close(fd);
    AllowLibraryCaches();
    execl(ZBHOST_BINARY, ZBHOST_BINARY, "-", "-o", "-", "-q", static_cast<char*>(nullptr));
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  ASSERT_EQ(write(in[1], bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  constexpr size_t kHalfSecondBytes = kRate;  // 16-bit samples
  constexpr int kWaitMs = 20000;
  std::string decoded;
  char buffer[4096];
  struct pollfd ready {out[0], POLLIN, 0};
  while (decoded.size() < kHalfSecondBytes && poll(&ready, 1, kWaitMs) > 0) {
    const ssize_t got = read(out[0], buffer, sizeof buffer);
    if (got <= 0) break;
    decoded.append(buffer, static_cast<size_t>(got));
  }
  EXPECT_GE(decoded.size(), kHalfSecondBytes) << "output waited for the input's end";
  EXPECT_TRUE(IsWav(decoded));
  close(in[1]);
  for (ssize_t got; (got = read(out[0], buffer, sizeof buffer)) > 0;) decoded.append(buffer, static_cast<size_t>(got));
  close(out[0]);
  EXPECT_EQ(WaitStatus(pid), kExitOk);
}

// A half-second WAV file whose RIFF and data sizes are `size`, as a writer that streams
// puts them.
std::string StreamedWav(uint32_t size) {
  const std::string path = Temp(fmt::format("streamed_{:x}.wav", size));
  WriteWav(path, GenerateSpeechLike(kRate, 0.5), kRate, 1);
  std::string bytes = ReadAll(path);
  const char little[] = {static_cast<char>(size), static_cast<char>(size >> 8),
                         static_cast<char>(size >> 16), static_cast<char>(size >> 24)};
  constexpr size_t kRiffSizeAt = 4;
  bytes.replace(kRiffSizeAt, sizeof little, little, sizeof little);
  bytes.replace(bytes.find("data") + kRiffSizeAt, sizeof little, little, sizeof little);
  std::ofstream(path, std::ios::binary) << bytes;
  return path;
}

// One row per message case: the arguments, the status, and text that standard output and
// standard error must or must not hold. IN stands for a damaged half-second input file,
// FLAC_CUT for a FLAC file cut short and FLAC_HIT for one with bytes overwritten inside;
// STREAMED_* for a WAV file with the sizes a streaming writer puts in its header, SILENT for
// half a second of digital silence.
struct TextCase : NamedRow {
  std::vector<std::string> args;
  int status;
  std::vector<std::string> outHas;
  std::vector<std::string> outLacks;
  std::vector<std::string> errHas;
  bool errEmpty;
};

class ZbhostTextTest : public testing::TestWithParam<TextCase> {};

TEST_P(ZbhostTextTest, SaysWhatItShould) {
  // A WAV file cut short: its header announces more audio than it holds.
  const std::string truncated = Temp("truncated.wav");
  WriteWav(truncated, GenerateSpeechLike(kRate, 0.5), kRate, 1);
  std::filesystem::resize_file(truncated, std::filesystem::file_size(truncated) / 2);
  const std::string flacCut = Temp("cut.flac");
  const std::string flacHit = Temp("hit.flac");
  WriteWav(flacCut, GenerateSpeechLike(kRate, 2), kRate, 1, SF_FORMAT_FLAC | SF_FORMAT_PCM_16);
  std::string flac = ReadAll(flacCut);
  constexpr size_t kHitBytes = 8;
  std::ofstream(flacHit, std::ios::binary)
      << flac.replace(flac.size() / 2, kHitBytes, std::string(kHitBytes, '\xff'));
  std::filesystem::resize_file(flacCut, std::filesystem::file_size(flacCut) / 2);
  const std::map<std::string, std::string> inputs = {
      {"IN", truncated}, {"FLAC_CUT", flacCut}, {"FLAC_HIT", flacHit},
      {"STREAMED_SIGNED", StreamedWav(0x7FFFFFFF)}, {"STREAMED_UNSIGNED", StreamedWav(0xFFFFFFFF)},
      {"STREAMED_WAVENC", StreamedWav(0x7FFF0000)}, {"STREAMED_NONE", StreamedWav(0)}, {"SILENT", Temp("silent.wav")}};
  WriteWav(inputs.at("SILENT"), std::vector<int16_t>(kRate / 2, 0), kRate, 1);
  std::vector<std::string> args;
  for (const std::string& arg : GetParam().args) {
    args.push_back(inputs.count(arg) != 0 ? inputs.at(arg) : arg);
  }
  const ProcessResult run = RunZbhost(args);
  EXPECT_EQ(run.status, GetParam().status) << run.err;
  for (const std::string& text : GetParam().outHas) {
    EXPECT_NE(run.out.find(text), std::string::npos) << text << "\n" << run.out;
  }
  for (const std::string& text : GetParam().outLacks) {
    EXPECT_EQ(run.out.find(text), std::string::npos) << text << "\n" << run.out;
  }
  for (const std::string& text : GetParam().errHas) {
    EXPECT_NE(run.err.find(text), std::string::npos) << text << "\n" << run.err;
  }
  if (GetParam().errEmpty) {
    EXPECT_TRUE(run.err.empty()) << run.err;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Texts, ZbhostTextTest,
    testing::Values(
        TextCase{"version", {"--version"}, kExitOk, {"zbhost " ZBHOST_PROJECT_VERSION}, {}, {}, true},
        TextCase{"help_lists_exit_codes", {"--help"}, kExitOk,
                 {"Exit status", "5  output cannot be written", "130  interrupted", "--duplicate PCT",
                  "Examples:"},
                 {"Excludes"}, {}, true},
        // Quiet: nothing at all, even with a warning to give, but for damaged input.
        TextCase{"quiet", {"--seconds", "1", "--loss", "list:d3,d50", "-q"}, kExitOk, {}, {"input"},
                 {}, true},
        TextCase{"quiet_still_tells_of_damage", {"IN", "-q"}, kExitOk, {}, {"input"},
                 {"zbhost: warning: ", "is truncated"}, false},
        TextCase{"verbose", {"-v", "--seconds", "1"}, kExitOk, {"lost for good"}, {},
                 {"zbhost: streamed 50 frames"}, false},
        TextCase{"truncated_input_warns", {"IN"}, kExitOk, {"lost for good"}, {},
                 {"zbhost: warning: ", "is truncated"}, false},
        // Damage inside compressed input is reported, in words and in the JSON.
        TextCase{"cut_flac_warns", {"FLAC_CUT", "--json"}, kExitOk, {"\"warnings\": [\n    \"'"},
                 {}, {"zbhost: warning: "}, false},
        TextCase{"overwritten_flac_warns", {"FLAC_HIT", "--json"}, kExitOk, {"is damaged"}, {},
                 {"zbhost: warning: "}, false},
        // The sizes streaming writers (zbhost -o -, FFmpeg, GStreamer) put in a WAV header
        // declare no length: nothing is wrong with the input.
        TextCase{"streamed_wav_signed_size", {"STREAMED_SIGNED", "--json"}, kExitOk,
                 {"\"warnings\": []"}, {}, {}, true},
        TextCase{"streamed_wav_unsigned_size", {"STREAMED_UNSIGNED", "--json"}, kExitOk,
                 {"\"warnings\": []"}, {}, {}, true},
        TextCase{"streamed_wav_wavenc_size", {"STREAMED_WAVENC", "--json"}, kExitOk,
                 {"\"warnings\": []"}, {}, {}, true},
        TextCase{"streamed_wav_zero_size", {"STREAMED_NONE", "--json"}, kExitOk,
                 {"\"warnings\": []", "\"seconds\": 0.5\n"}, {}, {}, true},
        // Against silence, error and intelligibility are undefined, and the report says so.
        TextCase{"silent_input_words", {"SILENT"}, kExitOk,
                 {"SNR vs input              undefined: the input is silent", "STOI                      - vs input, - vs"},
                 {},
                 {"the input is silent"}, false},
        TextCase{"silent_input_json", {"SILENT", "--json"}, kExitOk,
                 {"\"snr_vs_input_db\": null", "\"the input is silent"}, {}, {}, false},
        // With an input, --seconds is the most of it streamed.
        TextCase{"seconds_limit_input", {"IN", "--seconds", "0.2", "--json"}, kExitOk,
                 {"\"frames\": 10,"}, {}, {}, false},
        // -q silences the words only: JSON asked for still comes.
        TextCase{"quiet_json_still_prints", {"--seconds", "1", "-q", "--json"}, kExitOk,
                 {"\"schema_version\""}, {}, {}, true},
        TextCase{"list_beyond_stream_warns", {"--seconds", "1", "--loss", "list:d3,d50,p0,p70"}, kExitOk,
                 {"dropped by the link       1 data, 0 parity"}, {},
                 {"names 3 frames the stream never sends (d50, p0, p70)"}, false},
        // Under 10 ms the length is given in milliseconds; one frame is "1 frame".
        TextCase{"short_input_wording", {"--seconds", "0.005"}, kExitOk,
                 {"signal, 5.0 ms", "1 frame of 20 ms"}, {"0.00 s", "1 frames"}, {}, true},
        TextCase{"encoder_named", {"--seconds", "1", "--encoder", "carried"}, kExitOk,
                 {"encoder                   carried (", "which figure to read      SNR: coding error"},
                 {}, {}, true},
        TextCase{"built_in_spelled_out", {"--built-in", "--seconds", "1"}, kExitOk,
                 {"built-in speech-like signal, 1.00 s"}, {}, {}, true},
        // Without parity there is no parity figure.
        TextCase{"no_parity_wording", {"--seconds", "1", "--no-parity"}, kExitOk,
                 {"kbit/s (no parity frames)"},
                 {"with parity", "repaired from parity", "parity not needed"}, {}, true}),
    RowName());

// One row per damaged compressed input: its container, the bytes flipped (one in the middle
// of the file, or one in every few across its last quarter), and what the warning says.
struct DamageCase : NamedRow {
  int format;
  bool everywhere;
  const char* says;
};

class ZbhostDamagedInputTest : public testing::TestWithParam<DamageCase> {};

TEST_P(ZbhostDamagedInputTest, ReadsOnPastTheDamageAndSaysSoEvenWhenQuiet) {
  constexpr double kSeconds = 4.0;
  const std::string path = Temp(std::string("damaged_") + GetParam().name);
  WriteWav(path, GenerateSpeechLike(kRate, kSeconds), kRate, 1, GetParam().format);
  std::string bytes = ReadAll(path);
  constexpr size_t kEveryFlip = 97;  // bytes between flips across the file
  if (GetParam().everywhere) {
    for (size_t at = bytes.size() * 3 / 4; at < bytes.size(); at += kEveryFlip) {
      bytes[at] = static_cast<char>(~bytes[at]);
    }
  } else {
    const size_t at = bytes.size() / 2;
    bytes[at] = static_cast<char>(~bytes[at]);
  }
  std::ofstream(path, std::ios::binary) << bytes;
  const ProcessResult run = RunZbhost({path, "-q", "--json"});
  ASSERT_EQ(run.status, kExitOk) << run.err;
  const nlohmann::json report = nlohmann::json::parse(run.out);
  ASSERT_EQ(report["warnings"].size(), 1u) << run.out;
  EXPECT_NE(report["warnings"][0].get<std::string>().find(GetParam().says), std::string::npos)
      << report["warnings"];
  EXPECT_NE(run.err.find("zbhost: warning: "), std::string::npos) << run.err;
  // Every word is zbhost's own: none of the decoders' complaints leak through.
  std::istringstream lines(run.err);
  for (std::string line; std::getline(lines, line);) EXPECT_EQ(line.rfind("zbhost: ", 0), 0u) << line;
  // One damaged frame or page costs that much audio, not the rest of the stream.
  if (!GetParam().everywhere) {
    EXPECT_DOUBLE_EQ(report["input"]["seconds"].get<double>(), kSeconds);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Containers, ZbhostDamagedInputTest,
    testing::Values(
        DamageCase{"flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, false, "could not be decoded"},
        DamageCase{"ogg", SF_FORMAT_OGG | SF_FORMAT_VORBIS, false, "could not be decoded"},
        // No page left whole: what is lost cannot be timed, but it is said.
        DamageCase{"ogg_every_page", SF_FORMAT_OGG | SF_FORMAT_VORBIS, true, "damaged pages skipped"},
        // libmpg123 reads on by itself, and would print each error on standard error.
        DamageCase{"mp3_every_frame", SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III, true,
                   "decoding error"}),
    RowName());

// The loss list of the frame table, plot and comparison tests: frame 10 lost whole and
// frame 11's data lost (11 is rebuilt, 10 is gone), frame 40's data lost (rebuilt) and
// frame 20's parity lost (nothing to rebuild).
constexpr char kMixedLosses[] = "list:d10,p10,d11,p11,d40,p20";

TEST(ZbhostFramesTest, CsvAndJsonLinesHoldOneRowPerFrame) {
  const std::string csv = Temp("frames.csv");
  const std::string jsonl = Temp("frames.jsonl");
  RunJson({"--seconds", "1", "--loss", kMixedLosses, "--frames", csv});
  RunJson({"--seconds", "1", "--loss", kMixedLosses, "--frames", jsonl});
  std::istringstream lines(ReadAll(csv));
  std::vector<std::string> rows;
  for (std::string line; std::getline(lines, line);) rows.push_back(line);
  ASSERT_EQ(rows.size(), 51u);
  EXPECT_EQ(rows[0], "frame,start_s,data,parity,result,snr_vs_lossless_db,lsd_vs_lossless_db,seed");
  // A listed loss draws nothing at random: no seed.
  EXPECT_EQ(rows[1], "0,0.00,delivered,not sent,received,inf,,");
  EXPECT_EQ(rows[11].rfind("10,0.20,dropped,dropped,lost,", 0), 0u) << rows[11];
  EXPECT_EQ(rows[12], "11,0.22,dropped,dropped,rebuilt,inf,,");
  EXPECT_EQ(rows[21], "20,0.40,delivered,dropped,received,inf,,");
  EXPECT_EQ(rows[41], "40,0.80,dropped,delivered,rebuilt,inf,,");

  std::istringstream records(ReadAll(jsonl));
  std::vector<nlohmann::json> parsed;
  for (std::string line; std::getline(records, line);) parsed.push_back(nlohmann::json::parse(line));
  ASSERT_EQ(parsed.size(), 50u);
  EXPECT_EQ(parsed[10]["result"], "lost");
  EXPECT_LT(parsed[10]["snr_vs_lossless_db"].get<double>(), 1.0);
  EXPECT_GT(parsed[10]["lsd_vs_lossless_db"].get<double>(), 0.0);  // a lost frame of speech
  EXPECT_EQ(parsed[11]["lsd_vs_lossless_db"], nullptr);
  EXPECT_EQ(parsed[11]["result"], "rebuilt");
  EXPECT_EQ(parsed[11]["identical_to_lossless"], true);
  EXPECT_EQ(parsed[11]["snr_vs_lossless_db"], nullptr);

  // A .json name (.JSON too) gets one document: the same records in an array.
  const std::string json = Temp("frames.JSON");
  RunJson({"--seconds", "1", "--loss", kMixedLosses, "--frames", json});
  EXPECT_EQ(nlohmann::json::parse(ReadAll(json)), nlohmann::json(parsed));
}

TEST(ZbhostFramesTest, DuplicatedAndReorderedFramesAreNamed) {
  const std::string csv = Temp("frames_disturbed.csv");
  const nlohmann::json report =
      RunJson({"--duplicate", "30", "--reorder", "30", "--seed", "11", "--frames", csv});
  const std::string table = ReadAll(csv);
  EXPECT_GT(report["duplicated_by_link"].get<int>(), 0);
  EXPECT_NE(table.find(",duplicated,"), std::string::npos);
  EXPECT_NE(table.find(",reordered"), std::string::npos);
  EXPECT_NE(table.find(",11\n"), std::string::npos);  // the seed, on every row

  // A quiet run without --seed still leaves the drawn seed in its table.
  const std::string jsonl = Temp("frames_drawn_seed.jsonl");
  const nlohmann::json drawn =
      RunJson({"--seconds", "1", "--loss", "random:10", "-q", "--frames", jsonl});
  std::istringstream records(ReadAll(jsonl));
  for (std::string line; std::getline(records, line);) {
    EXPECT_EQ(nlohmann::json::parse(line)["seed"], drawn["link"]["seed"]) << line;
  }
}

// --adpcm-out writes the encoder's blocks as an IMA ADPCM WAV file that another IMA decoder
// (libsndfile's) plays as zbhost's own decoder does, but for the header sample each block
// adds and a rounding of two.
TEST(ZbhostAdpcmOutTest, AnyImaDecoderPlaysTheEncodersBlocks) {
  constexpr int kSamplesPerWavBlock = 161;   // the header's sample, then 160 codes
  constexpr double kOtherDecoderFloorDb = 50.0;
  const std::string adpcm = Temp("stream.adpcm.wav");
  const std::string decoded = Temp("stream.decoded.wav");
  for (const char* encoder : {"specified", "search"}) {
    RunJson({"--seconds", "1", "--encoder", encoder, "--adpcm-out", adpcm, "-o", decoded});
    SF_INFO info;
    const std::vector<int16_t> played = ReadWav(adpcm, info);
    EXPECT_EQ(info.format, SF_FORMAT_WAV | SF_FORMAT_IMA_ADPCM);
    std::vector<int16_t> codes;
    for (size_t i = 0; i < played.size(); ++i) {
      if (i % kSamplesPerWavBlock != 0) codes.push_back(played[i]);
    }
    const std::vector<int16_t> own = ReadWav(decoded, info);
    ASSERT_EQ(codes.size(), own.size()) << encoder;
    EXPECT_GT(SnrDb(own, codes), kOtherDecoderFloorDb) << encoder;
  }
}

// Parses `text` as XML; fails the test when it is malformed.
void ParseSvg(const std::string& text) {
  XML_Parser parser = XML_ParserCreate(nullptr);
  const bool parsed = XML_Parse(parser, text.data(), static_cast<int>(text.size()), 1) == XML_STATUS_OK;
  EXPECT_TRUE(parsed) << XML_ErrorString(XML_GetErrorCode(parser)) << " at line "
                      << XML_GetCurrentLineNumber(parser);
  XML_ParserFree(parser);
}

TEST(ZbhostPlotTest, PlotIsWellFormedSvgOrPng) {
  const std::string svg = Temp("plot.svg");
  RunJson({"--seconds", "1", "--loss", kMixedLosses, "--plot", svg});
  const std::string text = ReadAll(svg);
  ParseSvg(text);
  EXPECT_NE(text.find("<svg xmlns=\"http://www.w3.org/2000/svg\""), std::string::npos);

  // A .png name (.PNG too) gets the same picture as a PNG image; with --compare, a panel per
  // column.
  const std::string png = Temp("plot.PNG");
  RunJson({"--seconds", "1", "--loss", kMixedLosses, "--plot", png, "--compare"});
  EXPECT_EQ(ReadAll(png).rfind("\x89PNG\r\n\x1a\n", 0), 0u);
}

// Names that are not UTF-8 are shown with their bad bytes escaped: the JSON, the words and
// both kinds of picture come out valid, and the output is written.
TEST(ZbhostPlotTest, NamesThatAreNotUtf8AreShownEscaped) {
  const std::string in = Temp("bad\xff.wav");
  const std::string out = Temp("out\xfe.wav");
  WriteWav(in, GenerateSpeechLike(kRate, 0.5), kRate, 1);
  const std::string svg = Temp("plot\xfd.svg");
  const nlohmann::json report = RunJson({in, "-o", out, "--plot", svg});
  EXPECT_EQ(report["input"]["path"], DisplayName(in));
  EXPECT_NE(report["output"]["path"].get<std::string>().find("out\\xFE.wav"), std::string::npos);
  EXPECT_TRUE(Exists(out));
  ParseSvg(ReadAll(svg));
  const ProcessResult words = RunZbhost({in, "--plot", Temp("plot\xfd.png")});
  EXPECT_EQ(words.status, kExitOk) << words.err;
  EXPECT_TRUE(IsValidUtf8(words.out)) << words.out;
  EXPECT_NE(words.out.find("bad\\xFF.wav"), std::string::npos) << words.out;
}

TEST(ZbhostCompareTest, SameLossesWithAndWithoutParitySideBySide) {
  const nlohmann::json report = RunJson({"--seconds", "1", "--loss", kMixedLosses, "--compare"});
  const nlohmann::json& columns = report["compare"];
  ASSERT_EQ(columns.size(), kCompareColumns);
  for (int i : {0, kParityConcealedColumn}) {
    EXPECT_EQ(columns[i]["parity"], true);
    EXPECT_EQ(columns[i]["lost_for_good"], 1);
    EXPECT_EQ(columns[i]["repaired_from_parity"], 2);
  }
  // With parity, only what it could not repair is concealed.
  EXPECT_EQ(columns[kParityConcealedColumn]["concealed"], 1);
  for (int i : {kNoParityColumn, kNoParityConcealedColumn}) {
    EXPECT_EQ(columns[i]["parity"], false);
    EXPECT_EQ(columns[i]["dropped_by_link"]["data"], 3);  // the same data frames
    EXPECT_EQ(columns[i]["lost_for_good"], 3);
  }
  EXPECT_EQ(columns[kNoParityConcealedColumn]["concealed"], 3);
  EXPECT_GT(columns[0]["snr_vs_input_db"].get<double>(),
            columns[kNoParityColumn]["snr_vs_input_db"].get<double>());

  const ProcessResult plain =
      RunZbhost({"--seconds", "1", "--loss", "random:10", "--seed", "3", "--compare"});
  ASSERT_EQ(plain.status, kExitOk) << plain.err;
  EXPECT_NE(plain.out.find("parity                parity, concealed     no parity             no parity, concealed"),
            std::string::npos) << plain.out;
}

// Every column sees the link's own decisions, so a run of its own with the same seed
// reproduces it, sample for sample, parity delay included; and nothing is repaired that was
// not dropped.
TEST(ZbhostCompareTest, EachColumnIsARunOfItsOwn) {
  const std::string out = Temp("compare.wav");
  const std::vector<std::string> link = {"--seconds", "3", "--loss", "random:10", "--seed", "5",
                                         "--duplicate", "10", "--reorder", "10", "--parity-delay", "2"};
  std::vector<std::string> args = link;
  args.insert(args.end(), {"--compare", "-o", out});
  const nlohmann::json report = RunJson(args);
  const nlohmann::json& columns = report["compare"];
  ASSERT_EQ(columns.size(), kCompareColumns);
  struct Own {
    std::vector<std::string> options;
    std::string file;
  };
  const Own own[] = {{{}, out},
                     {{"--conceal"}, Temp("compare.parity-concealed.wav")},
                     {{"--no-parity"}, Temp("compare.no-parity.wav")},
                     {{"--no-parity", "--conceal"}, Temp("compare.no-parity-concealed.wav")}};
  for (size_t i = 0; i < std::size(own); ++i) {
    EXPECT_EQ(columns[i]["output"], own[i].file);
    EXPECT_LE(columns[i]["repaired_from_parity"], columns[i]["dropped_by_link"]["data"]);
    EXPECT_GT(columns[i]["reordered_by_link"], 0);
    std::vector<std::string> alone = link;
    alone.insert(alone.end(), own[i].options.begin(), own[i].options.end());
    const std::string aloneOut = Temp("alone.wav");
    alone.insert(alone.end(), {"-o", aloneOut});
    const nlohmann::json single = RunJson(alone);
    for (const char* key : {"dropped_by_link", "lost_for_good", "concealed", "snr_vs_input_db"}) {
      EXPECT_EQ(single[key], columns[i][key]) << key << " of column " << i;
    }
    EXPECT_EQ(ReadAll(aloneOut), ReadAll(own[i].file)) << own[i].file;
  }
}

// Two encoder modes see the same losses; each column is the run of its own --encoder, and
// carrying the step index scores far better than restarting it.
TEST(ZbhostCompareTest, EncoderModesSideBySide) {
  const std::vector<std::string> link = {"--seconds", "2", "--loss", "random:10", "--seed", "2"};
  std::vector<std::string> args = link;
  args.insert(args.end(), {"--compare-encoders", "specified,carried"});
  const nlohmann::json columns = RunJson(args)["compare"];
  ASSERT_EQ(columns.size(), 2u);
  EXPECT_EQ(columns[0]["encoder"], "specified");
  EXPECT_EQ(columns[1]["encoder"], "carried");
  EXPECT_EQ(columns[0]["dropped_by_link"], columns[1]["dropped_by_link"]);
  EXPECT_GT(columns[1]["speech"]["vs_input"]["segmental_snr_db"].get<double>(),
            columns[0]["speech"]["vs_input"]["segmental_snr_db"].get<double>() + 5.0);
  for (size_t i = 0; i < columns.size(); ++i) {
    std::vector<std::string> alone = link;
    alone.insert(alone.end(), {"--encoder", columns[i]["encoder"].get<std::string>()});
    const nlohmann::json single = RunJson(alone);
    EXPECT_EQ(single["encoder"], columns[i]["encoder"]);
    EXPECT_EQ(single["snr_vs_input_db"], columns[i]["snr_vs_input_db"]) << i;
  }
}

}  // namespace
}  // namespace zbtest

// Replays a fuzz target without libFuzzer, as an ordinary test: every regular file of the
// corpus directory named by the first argument (in name order), then a few edge inputs.
// Fails when the directory holds no file, so a wrong path cannot pass unnoticed.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "tests/fuzz/FuzzCheck.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

namespace fs = std::filesystem;

constexpr size_t kLongEdgeBytes = 8192;  // long enough for several frames of every kind

// Runs the target over an exact-size heap copy of `bytes`; an empty input has no buffer.
void RunOne(const std::vector<uint8_t>& bytes, const std::string& name) {
  zbtest::g_currentInput = name.c_str();
  const std::vector<uint8_t> copy(bytes);
  LLVMFuzzerTestOneInput(copy.empty() ? nullptr : copy.data(), copy.size());
  zbtest::g_currentInput = nullptr;
}

std::vector<fs::path> CorpusFiles(const fs::path& directory) {
  std::vector<fs::path> files;
  std::error_code error;
  for (fs::directory_iterator it(directory, error), end; !error && it != end; it.increment(error)) {
    if (it->is_regular_file()) files.push_back(it->path());
  }
  if (error) std::fprintf(stderr, "cannot list %s: %s\n", directory.string().c_str(), error.message().c_str());
  std::sort(files.begin(), files.end());
  return files;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s CORPUS_DIRECTORY\n", argv[0]);
    return 2;
  }
  const std::vector<fs::path> files = CorpusFiles(fs::path(argv[1]));
  if (files.empty()) {
    std::fprintf(stderr, "no corpus files in %s\n", argv[1]);
    return 1;
  }
  for (const fs::path& file : files) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
      std::fprintf(stderr, "cannot read %s\n", file.string().c_str());
      return 1;
    }
    const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    RunOne(bytes, file.string());
  }

  const std::vector<std::pair<std::string, std::vector<uint8_t>>> edges = {
      {"empty", {}},
      {"one zero byte", {0x00}},
      {"one 0xFF byte", {0xFF}},
      {"all 0x00", std::vector<uint8_t>(kLongEdgeBytes, 0x00)},
      {"all 0xFF", std::vector<uint8_t>(kLongEdgeBytes, 0xFF)},
  };
  for (const auto& [name, bytes] : edges) RunOne(bytes, name);

  std::printf("replayed %zu corpus files from %s and %zu edge inputs\n", files.size(), argv[1], edges.size());
  return 0;
}

// Linked into the programs that run the codec through its multi-block operations (the
// module tests, the fuzz targets and their replays): ZB_ADPCM_PATH names the widest path
// those operations may take ("single", "scalar", "sse2", "avx2"), so that the same tests
// run on every path the processor has. Read once, before main; a path this build or this
// processor lacks ends the program with a message rather than testing another path.
#include <cstdio>
#include <cstdlib>

#include "codec/AdpcmPaths.h"

namespace {

constexpr char kPathVariable[] = "ZB_ADPCM_PATH";

struct PathChoice {
  PathChoice() {
    const char* name = std::getenv(kPathVariable);
    if (name == nullptr || *name == '\0') return;
    if (!AdpcmLimitPaths(name)) {
      std::fprintf(stderr, "%s=%s: no such codec path in this build on this processor\n", kPathVariable, name);
      std::exit(EXIT_FAILURE);
    }
    std::fprintf(stderr, "codec paths up to %s (%s)\n", name, kPathVariable);
  }
};

const PathChoice g_pathChoice;

}  // namespace

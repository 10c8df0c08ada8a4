// The run as a picture (--plot): the input and the decoded waveforms over time, with every
// frame the link touched marked by what became of it, and the per-frame SNR against the
// lossless decode below. Plain SVG that any browser opens; each mark carries a tooltip.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "host/report/FrameLog.h"
#include "host/report/Report.h"

namespace zbhost {

// One <rect class="mark ..."> per affected frame (see IsAffected), its class naming the
// outcome: "rebuilt", "unrecovered", "concealed" or "parity-lost" (only parity dropped).
std::string PlotSvg(const RunDescription& run, const std::vector<int16_t>& input,
                    const std::vector<int16_t>& decoded, const std::vector<FrameRow>& rows);

}  // namespace zbhost

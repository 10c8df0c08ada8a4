// The IMA ADPCM tables: step-index adjustment per 4-bit code and step size per index.
#include "codec/AdpcmTables.h"

#include "codec/AdpcmKernel.h"

// Both tables are the IMA ADPCM recommended practice's values (Interactive Multimedia
// Association), unchanged.
// clang-format off
constexpr int32_t AdpcmIndexTable[16] = {
    -1, -1, -1, -1, 2, 4, 6, 8, -1, -1,
    -1, -1, 2,  4,  6, 8,
};

constexpr int32_t AdpcmStepTable[kAdpcmMaxStepIndex + 1] = {
    7,     8,     9,     10,    11,    12,    13,    14,    16,    17,
    19,    21,    23,    25,    28,    31,    34,    37,    41,    45,
    50,    55,    60,    66,    73,    80,    88,    97,    107,   118,
    130,   143,   157,   173,   190,   209,   230,   253,   279,   307,
    337,   371,   408,   449,   494,   544,   598,   658,   724,   796,
    876,   963,   1060,  1166,  1282,  1411,  1552,  1707,  1878,  2066,
    2272,  2499,  2749,  3024,  3327,  3660,  4026,  4428,  4871,  5358,
    5894,  6484,  7132,  7845,  8630,  9493,  10442, 11487, 12635, 13899,
    15289, 16818, 18500, 20350, 22385, 24623, 27086, 29794, 32767,
};
// clang-format on

static_assert(sizeof(AdpcmIndexTable) / sizeof(AdpcmIndexTable[0]) == 16);
static_assert(sizeof(AdpcmStepTable) / sizeof(AdpcmStepTable[0]) == kAdpcmMaxStepIndex + 1);
static_assert(AdpcmIndexTable[0] == -1 && AdpcmIndexTable[7] == 8);
static_assert(AdpcmIndexTable[8] == -1 && AdpcmIndexTable[15] == 8);
static_assert(AdpcmStepTable[0] == 7 && AdpcmStepTable[kAdpcmMaxStepIndex] == 32767);

// The coder's lookup rows, derived from the two tables above when compiling.
namespace {

constexpr int32_t ClampIndex(int32_t index) {
  return index < 0 ? 0 : (index > kAdpcmMaxStepIndex ? kAdpcmMaxStepIndex : index);
}

constexpr AdpcmEncoderTable BuildEncoderRows() {
  AdpcmEncoderTable table{};
  for (int32_t i = 0; i <= kAdpcmMaxStepIndex; ++i) {
    const int32_t step = AdpcmStepTable[i];
    AdpcmEncoderRow& row = table.row[i];
    for (int32_t k = 1; k < kAdpcmMagnitudes; ++k) {
      row.threshold[k - 1] = (k * step + 3) / 4;  // ceil(k * step / 4): d >= it iff 4 * d >= k * step
    }
    for (int32_t m = 0; m < kAdpcmMagnitudes; ++m) {
      // Two terms, each truncated on its own: the encoder's amount, not the decoder's.
      const int32_t amount = (m * step) / 4 + step / 8;
      const int32_t next = ClampIndex(i + AdpcmIndexTable[m]);
      row.outcome[m] = (static_cast<AdpcmOutcome>(amount) << kAdpcmOutcomeAmountShift) |
                       static_cast<AdpcmOutcome>(next * sizeof(AdpcmEncoderRow)) |
                       (static_cast<AdpcmOutcome>(m) << kAdpcmOutcomeCodeShift);
    }
  }
  return table;
}

constexpr AdpcmDecoderTable BuildDecoderRows() {
  AdpcmDecoderTable table{};
  for (int32_t i = 0; i <= kAdpcmMaxStepIndex; ++i) {
    const int32_t step = AdpcmStepTable[i];
    for (int32_t code = 0; code < kAdpcmCodes; ++code) {
      // One product and one shift, truncated once: the decoder's amount, not the encoder's.
      const int32_t magnitude = code & static_cast<int32_t>(kAdpcmMagnitudeMask);
      const int32_t amount = ((2 * magnitude + 1) * step) >> 3;
      const int32_t next = ClampIndex(i + AdpcmIndexTable[code]);
      table.row[i].Amount(static_cast<uint32_t>(code)) = (code & kAdpcmSignBit) ? -amount : amount;
      table.row[i].Next(static_cast<uint32_t>(code)) = AdpcmDecoderLinkOf(next);
    }
    for (int32_t byte = 0; byte < kAdpcmByteValues; ++byte) {
      const int32_t middle = ClampIndex(i + AdpcmIndexTable[byte & kAdpcmNibbleMask]);
      const int32_t last = ClampIndex(middle + AdpcmIndexTable[byte >> kAdpcmNibbleBits]);
      table.nextIndexAfterByte(static_cast<uint32_t>(i), static_cast<uint32_t>(byte)) = static_cast<uint8_t>(last);
    }
  }
  return table;
}

}  // namespace

constexpr AdpcmEncoderTable AdpcmEncoderRows = BuildEncoderRows();
constexpr AdpcmDecoderTable AdpcmDecoderRows = BuildDecoderRows();

static_assert(sizeof(AdpcmEncoderRow) == kAdpcmEncoderRowBytes, "rows are addressed as index * row bytes");
static_assert(kAdpcmMaxStepIndex * sizeof(AdpcmEncoderRow) <= kAdpcmOutcomeRowMask,
              "the last row's offset fits below the code");
static_assert((AdpcmOutcome{kAdpcmMagnitudes - 1} << kAdpcmOutcomeCodeShift) <
                  (AdpcmOutcome{1} << kAdpcmOutcomeAmountShift),
              "the code lies below the amount");
static_assert(kAdpcmOutcomeCodeMasked ||
                  ((uint64_t{kAdpcmByteValues - 1} << kAdpcmOutcomeCodeShift) <
                       (uint64_t{1} << kAdpcmOutcomeAmountShift) &&
                   kAdpcmMaxStepIndex * sizeof(AdpcmEncoderRow) <
                       (uint64_t{1} << (kAdpcmOutcomeCodeShift - kAdpcmNibbleBits))),
              "unmasked, the byte each code is read from holds nothing but the code");
static_assert(AdpcmDecoderRows.row[0].Amount(kAdpcmSignBit + 7) == -((15 * 7) >> 3) &&
                  AdpcmDecoderRows.row[0].Next(kAdpcmSignBit + 7) == AdpcmDecoderLinkOf(8),
              "code 15 at index 0 lowers the predictor by 13 and moves to index 8");
static_assert(AdpcmEncoderRows.row[kAdpcmMaxStepIndex].threshold[0] ==
              (AdpcmStepTable[kAdpcmMaxStepIndex] + 3) / 4);
static_assert((7 * AdpcmStepTable[kAdpcmMaxStepIndex]) / 4 + AdpcmStepTable[kAdpcmMaxStepIndex] / 8 <=
                  static_cast<int32_t>(static_cast<AdpcmOutcome>(~AdpcmOutcome{0}) >> kAdpcmOutcomeAmountShift),
              "the largest amount fits above the code");

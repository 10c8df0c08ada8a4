// The coder's inner steps, shared by the sample and block operations: lookup rows derived
// from the IMA tables, and the encode and decode steps written over them so that no step
// divides and the encoder's chain from one sample to the next stays short.
#pragma once

#include <cstddef>
#include <cstdint>

#include "codec/AdpcmTables.h"

inline constexpr int32_t kAdpcmSampleMin = -32768;
inline constexpr int32_t kAdpcmSampleMax = 32767;
inline constexpr int32_t kAdpcmMagnitudes = 8;  // magnitudes 0..7 of a code
inline constexpr int32_t kAdpcmCodes = 16;
inline constexpr uint32_t kAdpcmSignBit = 8;        // bit 3 of a code
inline constexpr uint32_t kAdpcmMagnitudeMask = 7;  // bits 0..2 of a code
inline constexpr uint32_t kAdpcmNibbleMask = 0x0F;  // the earlier code of a byte
inline constexpr int kAdpcmNibbleBits = 4;          // shift to the later code of a byte
inline constexpr int32_t kAdpcmByteValues = 256;

// One row per step index for the encoder. A difference d (taken without its sign) codes
// with magnitude k or more exactly when d >= threshold[k - 1], the same decision as
// min(7, 4 * d / step), so comparisons replace the division. outcome[m] packs in one word
// what magnitude m leads to: the byte offset of the next index's row, m, and the encoder's
// reconstruction amount in the top 16 bits. The select tree picks one word, so the next
// row's address is one add after it: select, next row, its thresholds, next select is the
// encoder's longest chain.
//
// The word is as wide as a register. On 64-bit builds: the row offset is the low word as
// it stands, m lies in bits 32..34 (bits 35..47 zero), rows are 128 bytes apart, and each
// code takes one shift and no mask (shifted right by 32, m is the earlier code's nibble of
// the low byte; by 28, the later one's, with the row offset's top bits, zero, below it).
// On 32-bit builds a 64-bit word costs two selects per choice and spills the lanes'
// cursors, so the word is 32 bits: the row offset in bits 0..12 (rows 64 bytes apart),
// m in bits 13..15, and the row offset and the codes each take one mask.
#if UINTPTR_MAX > UINT32_MAX
using AdpcmOutcome = uint64_t;
inline constexpr int kAdpcmOutcomeAmountShift = 48;
inline constexpr int kAdpcmOutcomeCodeShift = 32;
inline constexpr AdpcmOutcome kAdpcmOutcomeRowMask = UINT32_MAX;
inline constexpr bool kAdpcmOutcomeCodeMasked = false;  // the code's byte holds nothing else
inline constexpr size_t kAdpcmEncoderRowBytes = 128;
#else
using AdpcmOutcome = uint32_t;
inline constexpr int kAdpcmOutcomeAmountShift = 16;
inline constexpr int kAdpcmOutcomeCodeShift = 13;
inline constexpr AdpcmOutcome kAdpcmOutcomeRowMask = (AdpcmOutcome{1} << kAdpcmOutcomeCodeShift) - 1;
inline constexpr bool kAdpcmOutcomeCodeMasked = true;  // the amount lies right above the code
inline constexpr size_t kAdpcmEncoderRowBytes = 64;
#endif

struct alignas(kAdpcmEncoderRowBytes) AdpcmEncoderRow {
  int32_t threshold[kAdpcmMagnitudes - 1];
  AdpcmOutcome outcome[kAdpcmMagnitudes];
};

struct AdpcmEncoderTable {
  AdpcmEncoderRow row[kAdpcmMaxStepIndex + 1];
};

// One row per step index for the decoder: what each code leads to, the signed amount and
// a link to the next index's row, each read at an address one addressing mode forms from
// the current link and the code. A lane keeps its link, so a code costs two loads and no
// arithmetic on the index.
//
// The link is chosen per build. On 64-bit builds the library is position independent and
// the table's address takes a register: a link that is a byte offset from the table would
// cost one add per code, so the rows point at one another (the table is relocated when the
// library loads; with four lanes, 0.51 against 0.63 ns per sample). A pointer beside each
// amount would make entries 16 bytes, beyond the largest scale, so amounts and links are
// two arrays. On 32-bit builds the table's address is a constant inside the addressing
// mode, so a byte offset costs nothing more, and with each code's amount and link in one
// 8-byte entry the four lanes spill less than with pointers (0.70 against 0.80 ns).
#if UINTPTR_MAX > UINT32_MAX
struct AdpcmDecoderRow;
using AdpcmDecoderLink = const AdpcmDecoderRow*;

struct alignas(64) AdpcmDecoderRow {
  int32_t amount[kAdpcmCodes];
  AdpcmDecoderLink next[kAdpcmCodes];

  constexpr int32_t& Amount(uint32_t code) { return amount[code]; }
  constexpr int32_t Amount(uint32_t code) const { return amount[code]; }
  constexpr AdpcmDecoderLink& Next(uint32_t code) { return next[code]; }
  constexpr AdpcmDecoderLink Next(uint32_t code) const { return next[code]; }
};
inline constexpr int32_t kAdpcmDecoderAmountStride = sizeof(int32_t);
#else
using AdpcmDecoderLink = uint32_t;  // the row's byte offset from the table

struct alignas(64) AdpcmDecoderRow {
  struct Entry {
    int32_t amount;
    AdpcmDecoderLink next;
  } entry[kAdpcmCodes];

  constexpr int32_t& Amount(uint32_t code) { return entry[code].amount; }
  constexpr int32_t Amount(uint32_t code) const { return entry[code].amount; }
  constexpr AdpcmDecoderLink& Next(uint32_t code) { return entry[code].next; }
  constexpr AdpcmDecoderLink Next(uint32_t code) const { return entry[code].next; }
};
inline constexpr int32_t kAdpcmDecoderAmountStride = sizeof(AdpcmDecoderRow::Entry);
#endif
// A row's amount of code c lies c times this many bytes from the row's start (for readers
// that gather the amounts of many rows at once).
static_assert(kAdpcmDecoderAmountStride * (kAdpcmCodes - 1) < static_cast<int32_t>(sizeof(AdpcmDecoderRow)));

// Besides the rows: the index after both codes of a byte, for one or two lanes, where the
// chain from one byte to the next sets the pace. On 64-bit builds the table is laid out
// byte by byte (a byte's indices side by side, padded to 128), so the byte's part of the
// address is formed off the chain, which is then one load per byte (one-frame decode 243
// against 254 ns). On 32-bit builds the extra address register that needs spills, and
// the table is laid out index by index (245 against 258 ns there).
#if UINTPTR_MAX > UINT32_MAX
inline constexpr bool kAdpcmAfterByteByByte = true;
#else
inline constexpr bool kAdpcmAfterByteByByte = false;
#endif
inline constexpr int32_t kAdpcmAfterBytePaddedIndices = 128;
static_assert(kAdpcmAfterBytePaddedIndices > kAdpcmMaxStepIndex);

struct AdpcmAfterByteTable {
  uint8_t at[kAdpcmAfterByteByByte ? kAdpcmByteValues : kAdpcmMaxStepIndex + 1]
            [kAdpcmAfterByteByByte ? kAdpcmAfterBytePaddedIndices : kAdpcmByteValues];

  constexpr uint8_t& operator()(uint32_t stepIndex, uint32_t byte) {
    return kAdpcmAfterByteByByte ? at[byte][stepIndex] : at[stepIndex][byte];
  }
  constexpr const uint8_t& operator()(uint32_t stepIndex, uint32_t byte) const {
    return kAdpcmAfterByteByByte ? at[byte][stepIndex] : at[stepIndex][byte];
  }
};

struct AdpcmDecoderTable {
  AdpcmDecoderRow row[kAdpcmMaxStepIndex + 1];
  AdpcmAfterByteTable nextIndexAfterByte;
};

extern const AdpcmEncoderTable AdpcmEncoderRows;
extern const AdpcmDecoderTable AdpcmDecoderRows;

#if defined(__GNUC__)
#define ADPCM_RARELY(condition) __builtin_expect(!!(condition), 0)
// Forced into the decoder's block loops, whose state would otherwise go through memory
// between samples. The encoder step is left to the compiler: forced inline, it measured
// slower (5.8 against 5.5 ns per sample).
#define ADPCM_STEP inline __attribute__((always_inline))
#else
#define ADPCM_RARELY(condition) (condition)
#define ADPCM_STEP inline
#endif

// Picks a or b without a branch: the choices below depend on the signal and would be
// mispredicted about half the time.
template <typename T>
ADPCM_STEP T AdpcmSelect(bool condition, T a, T b) {
#if defined(__GNUC__)
  return __builtin_expect_with_probability(condition, 1, 0.5) ? a : b;
#else
  return condition ? a : b;
#endif
}

// Out of line so that the compiler keeps the rare clamps as branches off the sample chain.
#if defined(__GNUC__)
#define ADPCM_COLD __attribute__((noinline, cold))
#else
#define ADPCM_COLD
#endif
ADPCM_COLD int32_t AdpcmClampToSampleMax(int32_t value);
ADPCM_COLD int32_t AdpcmClampToSample(int32_t value);

// The encoder's running state in the form its step needs: the predictor and the row of
// the current step index.
struct AdpcmEncoderCursor {
  int32_t predictor;
  const AdpcmEncoderRow* row;
};

// Codes one sample and advances the cursor; returns a word whose low byte holds the 4-bit
// code in nibble kNibble (0: the earlier code, bits 0..3; 1: the later one, bits 4..7) and
// zeros in the other nibble. Bits above the low byte are not part of the code: callers
// keep the low byte only, which saves each step a mask.
template <int kNibble = 0>
inline uint32_t AdpcmEncodeStep(AdpcmEncoderCursor& cursor, int32_t sample) {
  static_assert(kNibble == 0 || kNibble == 1, "a byte holds two codes");
  constexpr int kCodeShift = kNibble * kAdpcmNibbleBits;
  const AdpcmEncoderRow& row = *cursor.row;
  const int32_t p = cursor.predictor;
  const int32_t difference = sample - p;
  const int32_t negative = difference < 0 ? -1 : 0;  // all ones when the sign bit is set
  const int32_t d = difference < 0 ? -difference : difference;
  const AdpcmOutcome* o = row.outcome;
  const int32_t* t = row.threshold;
  const AdpcmOutcome outcome = AdpcmSelect(
      d >= t[3],
      AdpcmSelect(d >= t[5], AdpcmSelect(d >= t[6], o[7], o[6]), AdpcmSelect(d >= t[4], o[5], o[4])),
      AdpcmSelect(d >= t[1], AdpcmSelect(d >= t[2], o[3], o[2]), AdpcmSelect(d >= t[0], o[1], o[0])));
  // With the sign folded in by xor, p - amount is ~(~p + amount), so both signs need only
  // the upper clamp; the lower limit maps onto the same value.
  // The row and the code are taken before the clamp, whose rare call would otherwise keep
  // the outcome alive across it.
  cursor.row = reinterpret_cast<const AdpcmEncoderRow*>(reinterpret_cast<const char*>(AdpcmEncoderRows.row) +
                                                        static_cast<size_t>(outcome & kAdpcmOutcomeRowMask));
  uint32_t magnitude = static_cast<uint32_t>(outcome >> (kAdpcmOutcomeCodeShift - kCodeShift));
  if constexpr (kAdpcmOutcomeCodeMasked) magnitude &= kAdpcmMagnitudeMask << kCodeShift;
  const uint32_t code = magnitude | (static_cast<uint32_t>(negative) & (kAdpcmSignBit << kCodeShift));
  const int32_t amount = static_cast<int32_t>(outcome >> kAdpcmOutcomeAmountShift);
  int32_t folded = (p ^ negative) + amount;
  if (ADPCM_RARELY(folded > kAdpcmSampleMax)) folded = AdpcmClampToSampleMax(folded);
  cursor.predictor = folded ^ negative;
  return code;
}

// Adds a decoder amount to the predictor and clamps the sum to the sample range.
ADPCM_STEP int32_t AdpcmAddAmount(int32_t predictor, int32_t amount) {
  constexpr uint32_t kRange = static_cast<uint32_t>(kAdpcmSampleMax - kAdpcmSampleMin);
  const int32_t p = predictor + amount;
  if (ADPCM_RARELY(static_cast<uint32_t>(p - kAdpcmSampleMin) > kRange)) return AdpcmClampToSample(p);
  return p;
}

// The link to a step index's row, a link's step index, and what a code on a link's row
// leads to: its amount and the next link.
#if UINTPTR_MAX > UINT32_MAX
constexpr AdpcmDecoderLink AdpcmDecoderLinkOf(int32_t stepIndex) { return &AdpcmDecoderRows.row[stepIndex]; }
ADPCM_STEP int16_t AdpcmDecoderStepIndex(AdpcmDecoderLink link) {
  return static_cast<int16_t>(link - AdpcmDecoderRows.row);
}
ADPCM_STEP int32_t AdpcmDecoderAmount(AdpcmDecoderLink link, uint32_t code) { return link->amount[code]; }
ADPCM_STEP AdpcmDecoderLink AdpcmDecoderNext(AdpcmDecoderLink link, uint32_t code) { return link->next[code]; }
#else
constexpr AdpcmDecoderLink AdpcmDecoderLinkOf(int32_t stepIndex) {
  return static_cast<AdpcmDecoderLink>(stepIndex) * static_cast<AdpcmDecoderLink>(sizeof(AdpcmDecoderRow));
}
ADPCM_STEP int16_t AdpcmDecoderStepIndex(AdpcmDecoderLink link) {
  return static_cast<int16_t>(link / sizeof(AdpcmDecoderRow));
}
// The entry's address as one sum, which the compiler folds into the load's addressing mode.
ADPCM_STEP const AdpcmDecoderRow::Entry& AdpcmDecoderEntryAt(AdpcmDecoderLink link, uint32_t code) {
  const char* rows = reinterpret_cast<const char*>(AdpcmDecoderRows.row);
  return *reinterpret_cast<const AdpcmDecoderRow::Entry*>(rows + link + code * sizeof(AdpcmDecoderRow::Entry));
}
ADPCM_STEP int32_t AdpcmDecoderAmount(AdpcmDecoderLink link, uint32_t code) {
  return AdpcmDecoderEntryAt(link, code).amount;
}
ADPCM_STEP AdpcmDecoderLink AdpcmDecoderNext(AdpcmDecoderLink link, uint32_t code) {
  return AdpcmDecoderEntryAt(link, code).next;
}
#endif

// Decodes one code (0..15) on a predictor and the link to its step index's row; returns
// the new predictor.
ADPCM_STEP int32_t AdpcmDecodeStep(int32_t& predictor, AdpcmDecoderLink& link, uint32_t code) {
  // Both read before the add, whose rare clamp is a call.
  const int32_t amount = AdpcmDecoderAmount(link, code);
  link = AdpcmDecoderNext(link, code);
  predictor = AdpcmAddAmount(predictor, amount);
  return predictor;
}

// Decodes both codes of a byte, the low nibble first, into early and late, on a step
// index rather than a link: the index goes through the byte table, the amounts are read
// beside it.
ADPCM_STEP void AdpcmDecodeByteOnIndex(int32_t& predictor, uint32_t& stepIndex, uint32_t byte, int32_t& early,
                                       int32_t& late) {
  const AdpcmDecoderLink first = AdpcmDecoderLinkOf(static_cast<int32_t>(stepIndex));
  const uint32_t low = byte & kAdpcmNibbleMask;
  const int32_t firstAmount = AdpcmDecoderAmount(first, low);
  const int32_t secondAmount = AdpcmDecoderAmount(AdpcmDecoderNext(first, low), byte >> kAdpcmNibbleBits);
  stepIndex = AdpcmDecoderRows.nextIndexAfterByte(stepIndex, byte);
  early = AdpcmAddAmount(predictor, firstAmount);
  late = AdpcmAddAmount(early, secondAmount);
  predictor = late;
}

// Decodes both codes of a byte, the low nibble first, into early and late.
ADPCM_STEP void AdpcmDecodeByte(int32_t& predictor, AdpcmDecoderLink& link, uint32_t byte, int32_t& early,
                                int32_t& late) {
  early = AdpcmDecodeStep(predictor, link, byte & kAdpcmNibbleMask);
  late = AdpcmDecodeStep(predictor, link, byte >> kAdpcmNibbleBits);
}

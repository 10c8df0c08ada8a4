#!/usr/bin/env bash
# Measures the fills of lost frames on the speech set: for each rate (8 and 16 kHz), each
# loss pattern (random 10 %, Gilbert bursts with a mean of 3 frames, random 20 %) and seeds
# 1 to 3, zbhost streams the speech without parity and records which frames were lost for
# good; conceal_eval then fills them with silence, zbhost's old fading repetition, the
# pitch-based concealment (and libspandsp's plc where built) and scores each against the
# lossless decode. As a cross-check, zbhost --conceal streams the same losses and its own
# report's figures against the lossless decode become the fill "zbhost --conceal" (it should
# match "pitch"). Prints per-run rows to build/conceal-eval/runs.csv and a table of the means
# over the seeds.
# Usage: scripts/conceal-eval.sh [BUILD_DIR]   (default build/dev; needs ZB_BUILD_HOST)
set -euo pipefail

cd "$(dirname "$0")/.."
readonly BUILD=${1:-build/dev}
readonly ZBHOST=$BUILD/host/zbhost
readonly EVAL=$BUILD/concealeval/conceal_eval
readonly SET=build/speech-set
readonly OUT=build/conceal-eval
readonly SEEDS=(1 2 3)
readonly PATTERNS=("random:10" "gilbert:3.7,33.3" "random:20")

for program in "$ZBHOST" "$EVAL"; do
  [ -x "$program" ] || { echo "conceal-eval: build $program first" >&2; exit 1; }
done
[ -f "$SET/speech-8k.wav" ] && [ -f "$SET/speech-16k.wav" ] || scripts/make-speech-set.sh "$SET"
mkdir -p "$OUT"

rows=$OUT/runs.csv
echo "pattern,seed,rate,fill,snr_db,segmental_snr_db,lsd_lost_speech_db,stoi" >"$rows"
for rate in 8k 16k; do
  input=$SET/speech-$rate.wav
  lossless=$OUT/lossless-$rate.wav
  "$ZBHOST" "$input" -q --loss none -o "$lossless"
  for pattern in "${PATTERNS[@]}"; do
    for seed in "${SEEDS[@]}"; do
      frames=$OUT/frames-$rate-${pattern//[:,]/_}-$seed.csv
      "$ZBHOST" "$input" -q --no-parity --loss "$pattern" --seed "$seed" --frames "$frames"
      "$EVAL" "$lossless" "$frames" | tail -n +2 |
        awk -F, -v p="${pattern//,//}" -v s="$seed" 'BEGIN { OFS = "," } { print p, s, $2, $3, $4, $5, $6, $7 }' >>"$rows"
      # The figures after "vs input," on the report's lines, in the CSV's order.
      "$ZBHOST" "$input" --no-parity --conceal --loss "$pattern" --seed "$seed" |
        awk -v p="${pattern//,//}" -v s="$seed" -v r="${rate%k}000" '
          /^SNR vs lossless decode/ { snr = $5 }
          /^segmental SNR / { seg = $7 }
          /^STOI / { stoi = $5 }
          /^LSD of lost speech / { lsd = $9 }
          END { printf "%s,%s,%s,zbhost --conceal,%s,%s,%s,%s\n", p, s, r, snr, seg, lsd, stoi }' >>"$rows"
    done
  done
done

# Means over the seeds, one line per pattern, rate and fill.
echo "| loss | rate | fill | SNR dB | segmental SNR dB | LSD on lost speech frames dB | STOI |"
echo "|---|---|---|---|---|---|---|"
awk -F, 'NR > 1 {
    key = $1 SUBSEP $3 SUBSEP $4
    if (!(key in n)) order[++keys] = key
    n[key]++; snr[key] += $5; seg[key] += $6; lsd[key] += $7; stoi[key] += $8
  }
  END {
    for (i = 1; i <= keys; i++) {
      k = order[i]; split(k, f, SUBSEP)
      printf "| %s | %d kHz | %s | %.2f | %.2f | %.2f | %.3f |\n", f[1], f[2] / 1000, f[3],
        snr[k] / n[k], seg[k] / n[k], lsd[k] / n[k], stoi[k] / n[k]
    }
  }' "$rows"

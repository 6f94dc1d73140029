#!/usr/bin/env bash
# bench/lsp.sh [PRESET...]: how soon polclsp gives fresh diagnostics after
# an edit, on the presets (default medium and max), with bench/lsp_latency:
# the first load, the median and slowest of ROUNDS edits (default 10), the
# server's CPU seconds per edit and its resident memory. Goals: an edit's
# diagnostics within 100 ms on medium and within 1 s on max.
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/common.sh
presets=("$@")
((${#presets[@]})) || presets=(medium max)
for preset in "${presets[@]}"; do
  generate "$preset"
  "$build/bench/lsp_latency" "$build/tools/polclsp" "$data/$preset" "${ROUNDS:-10}"
done

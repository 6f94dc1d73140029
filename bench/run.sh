#!/usr/bin/env bash
# bench/run.sh [PRESET...]: the benchmark of polc at full scale.
#
# Builds polc and the bench tools in Release (build/bench), generates the
# benchmark policies once (build/bench-data/PRESET, made again only when the
# generator's source changes), and prints one table row per preset (default:
# small medium large max):
#   polc s      median wall time of `polc -c -o OUT FILES...` end to end
#   rapidjson s median wall time of rapidjson_parse over the same files:
#               read each file and parse it into a RapidJSON DOM, nothing else
#   ratio       polc s / rapidjson s (goal for large and max: <= 2.0)
#   RSS MB      polc's peak resident memory, the highest of its runs
#   RSS/input   peak RSS over the input size (goal for large: <= 3)
#   MB/s        input megabytes (10^6 bytes) per second of polc
# Both programs run alternately, RUNS times each (default 5; the max preset
# MAX_RUNS times, default 3, as one polc run there takes seconds). Timings
# are only comparable when nothing else runs on the machine.
set -euo pipefail
cd "$(dirname "$0")/.."

build=${BUILD_DIR:-build/bench}
data=build/bench-data
runs=${RUNS:-5}
max_runs=${MAX_RUNS:-3}
if (($# == 0)); then set -- small medium large max; fi

echo "building Release in $build" >&2
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPOLC_BENCH=ON \
  -DPOLC_TESTS=OFF >/dev/null
cmake --build "$build" -j "${JOBS:-2}" >/dev/null
polc=$build/driver/polc
timed=$build/bench/timed_run
rapidjson=$build/bench/rapidjson_parse
[[ -x $rapidjson ]] || echo "rapidjson_parse not built (no RapidJSON headers)" >&2

out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

# Generates PRESET into $data/PRESET unless it is there from the same
# generator source.
generate() {
  local preset=$1 dir=$data/$1 stamp
  stamp=$(cat bench/policy_generator.h bench/policy_generator.cc | sha1sum | cut -d' ' -f1)
  if [[ -f $dir/.stamp && $(<"$dir/.stamp") == "$stamp" ]]; then return; fi
  echo "generating $preset into $dir" >&2
  rm -rf "$dir"
  "$build/bench/gen_policy" "$preset" "$dir" >/dev/null
  echo "$stamp" >"$dir/.stamp"
}

median() { sort -g | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }

printf '%-7s %6s %9s %4s %9s %12s %7s %9s %10s %8s\n' preset files "input MB" runs "polc s" \
  "rapidjson s" ratio "RSS MB" "RSS/input" "MB/s"
for preset in "$@"; do
  generate "$preset"
  files=("$data/$preset"/policy_*.json)
  bytes=$(cat "${files[@]}" | wc -c)
  n=$runs
  [[ $preset == max ]] && n=$max_runs
  polc_times=() rapid_times=() peak_kib=0 failed=
  for ((i = 0; i < n; i++)); do
    read -r seconds kib status < <("$timed" "$polc" -c -o "$out/policy.bin" "${files[@]}")
    if ((status != 0)); then failed="polc exit status $status"; break; fi
    polc_times+=("$seconds")
    ((kib > peak_kib)) && peak_kib=$kib
    if [[ -x $rapidjson ]]; then
      read -r seconds kib status < <("$timed" "$rapidjson" "${files[@]}")
      rapid_times+=("$seconds")
    fi
  done
  if [[ -n $failed ]]; then
    printf '%-7s %6s  %s (to see its log: %s -c -o OUT %s/*.json)\n' "$preset" "${#files[@]}" \
      "$failed" "$polc" "$data/$preset"
    continue
  fi
  polc_s=$(printf '%s\n' "${polc_times[@]}" | median)
  rapid_s=n/a ratio=n/a
  if ((${#rapid_times[@]})); then
    rapid_s=$(printf '%s\n' "${rapid_times[@]}" | median)
    ratio=$(awk -v p="$polc_s" -v r="$rapid_s" 'BEGIN {printf "%.2f", p / r}')
  fi
  awk -v preset="$preset" -v files="${#files[@]}" -v bytes="$bytes" -v runs="$n" \
    -v polc="$polc_s" -v rapid="$rapid_s" -v ratio="$ratio" -v kib="$peak_kib" 'BEGIN {
      rapid_text = rapid == "n/a" ? rapid : sprintf("%.4f", rapid)
      printf "%-7s %6d %9.1f %4d %9.4f %12s %7s %9.1f %10.2f %8.1f\n", preset, files,
        bytes / 1e6, runs, polc, rapid_text, ratio, kib / 1024, kib * 1024 / bytes,
        bytes / 1e6 / polc
    }'
done

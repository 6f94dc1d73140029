#!/usr/bin/env bash
# bench/run.sh [PRESET...]: the benchmark of polc at full scale.
#
# Builds polc and the bench tools in Release (build/bench), generates the
# benchmark policies once (build/bench-data/PRESET, made again only when the
# generator's source changes), and prints one table row per preset (default:
# small medium large max):
#   polc s      median wall time of `polc -c -o OUT FILES...` end to end
#   rj s        median wall time of rapidjson_parse over the same files:
#               read each file and parse it into a RapidJSON DOM, nothing else
#   ratio       polc s / rj s (goal for large and max: <= 2.0)
#   polc cpu    median CPU time (user + system) of polc, which a busy machine
#   rj cpu      disturbs less than wall time, and of rapidjson_parse
#   cpu ratio   polc cpu / rj cpu (goal for large and max: <= 3.0)
#   polc flt    median minor page faults of polc (goal for large: <= 12,000
#   rj flt      with transparent huge pages in madvise mode) and of the parse
#   RSS MB      polc's peak resident memory, the highest of its runs
#   RSS/input   peak RSS over the input size (goal for large: <= 1.0)
#   MB/s        input megabytes (10^6 bytes) per second of polc
# Both programs run alternately, RUNS times each (default 5; the max preset
# MAX_RUNS times, default 3, as one polc run there takes seconds). POLC names
# another polc binary to measure instead of the Release build, for a before
# and after comparison. Wall times are only comparable when nothing else runs
# on the machine.
set -euo pipefail
cd "$(dirname "$0")/.."

runs=${RUNS:-5}
max_runs=${MAX_RUNS:-3}
if (($# == 0)); then set -- small medium large max; fi
source bench/common.sh
polc=${POLC:-$build/driver/polc}
rapidjson=$build/bench/rapidjson_parse
[[ -x $rapidjson ]] || echo "rapidjson_parse not built (no RapidJSON headers)" >&2

out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

printf '%-7s %6s %9s %4s %8s %8s %6s %8s %8s %6s %9s %8s %7s %9s %7s\n' preset files "input MB" \
  runs "polc s" "rj s" ratio "polc cpu" "rj cpu" "cpu r" "polc flt" "rj flt" "RSS MB" \
  "RSS/input" "MB/s"
for preset in "$@"; do
  generate "$preset"
  files=("$data/$preset"/policy_*.json)
  bytes=$(cat "${files[@]}" | wc -c)
  n=$runs
  [[ $preset == max ]] && n=$max_runs
  polc_times=() polc_cpus=() polc_faults=() rapid_times=() rapid_cpus=() rapid_faults=()
  peak_kib=0 failed=
  for ((i = 0; i < n; i++)); do
    read -r seconds kib status cpu faults < <("$timed" "$polc" -c -o "$out/policy.bin" "${files[@]}")
    if ((status != 0)); then failed="polc exit status $status"; break; fi
    polc_times+=("$seconds") polc_cpus+=("$cpu") polc_faults+=("$faults")
    ((kib > peak_kib)) && peak_kib=$kib
    if [[ -x $rapidjson ]]; then
      read -r seconds kib status cpu faults < <("$timed" "$rapidjson" "${files[@]}")
      if ((status != 0)); then failed="rapidjson_parse exit status $status"; break; fi
      rapid_times+=("$seconds") rapid_cpus+=("$cpu") rapid_faults+=("$faults")
    fi
  done
  if [[ -n $failed ]]; then
    printf '%-7s %6s  %s (to see its log: %s -c -o OUT %s/*.json)\n' "$preset" "${#files[@]}" \
      "$failed" "$polc" "$data/$preset"
    continue
  fi
  polc_s=$(printf '%s\n' "${polc_times[@]}" | median)
  polc_cpu=$(printf '%s\n' "${polc_cpus[@]}" | median)
  polc_flt=$(printf '%s\n' "${polc_faults[@]}" | median)
  rapid_s=0 rapid_cpu=0 rapid_flt=0
  if ((${#rapid_times[@]})); then
    rapid_s=$(printf '%s\n' "${rapid_times[@]}" | median)
    rapid_cpu=$(printf '%s\n' "${rapid_cpus[@]}" | median)
    rapid_flt=$(printf '%s\n' "${rapid_faults[@]}" | median)
  fi
  awk -v preset="$preset" -v files="${#files[@]}" -v bytes="$bytes" -v runs="$n" \
    -v polc="$polc_s" -v rapid="$rapid_s" -v pcpu="$polc_cpu" -v rcpu="$rapid_cpu" \
    -v pflt="$polc_flt" -v rflt="$rapid_flt" -v kib="$peak_kib" 'BEGIN {
      ratio = rapid > 0 ? sprintf("%.2f", polc / rapid) : "n/a"
      cpuRatio = rcpu > 0 ? sprintf("%.2f", pcpu / rcpu) : "n/a"
      printf "%-7s %6d %9.1f %4d %8.4f %8.4f %6s %8.4f %8.4f %6s %9d %8d %7.1f %9.2f %7.1f\n",
        preset, files, bytes / 1e6, runs, polc, rapid, ratio, pcpu, rcpu, cpuRatio, pflt, rflt,
        kib / 1024, kib * 1024 / bytes, bytes / 1e6 / polc
    }'
done

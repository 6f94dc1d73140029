#!/usr/bin/env bash
# bench/run.sh [PRESET...]: the benchmark of polc at full scale.
#
# Builds polc and the bench tools in Release (build/bench), generates the
# benchmark policies once (build/bench-data/PRESET, made again only when the
# generator's source changes), and prints one table row per preset (default:
# small medium large max one-file; one-file is large written as one file):
#   polc s      median wall time of `polc -c -o OUT FILES...` end to end
#   rj s        median wall time of rapidjson_parse over the same files:
#               read each file and parse it into a RapidJSON DOM, nothing else
#   ratio       polc s / rj s (goal for large and max: <= 1.5)
#   polc cpu    median CPU time (user + system) of polc, which a busy machine
#   rj cpu      disturbs less than wall time, and of rapidjson_parse
#   cpu r       polc cpu / rj cpu (goal for large and max: <= 2.0)
#   sys %       polc's median system time, in percent of its user time
#               (goal: < 10 on every preset)
#   polc flt    median minor page faults of polc (goals, with transparent
#   rj flt      huge pages in madvise mode: large <= 3,000, max <= 6,000,
#               one-file <= 5,000) and of the parse
#   RSS MB      polc's peak resident memory, the highest of its runs
#   RSS/input   peak RSS over the input size (goal for one-file: <= 1.5)
#   MB/s        input megabytes (10^6 bytes) per second of polc
# The programs run alternately, RUNS times each (default 5; the max and
# one-file presets MAX_RUNS times, default 3, as one polc run there takes
# seconds). POLC names another polc binary to measure instead of the Release
# build. REF names a second polc (say, the build before a change) that runs
# in turn with the others: its row, marked ref, follows each preset's, and
# the run fails unless both write the same bytes. Wall times are only
# comparable when nothing else runs on the machine.
set -euo pipefail
cd "$(dirname "$0")/.."

runs=${RUNS:-5}
max_runs=${MAX_RUNS:-3}
if (($# == 0)); then set -- small medium large max one-file; fi
source bench/common.sh
polc=${POLC:-$build/driver/polc}
rapidjson=$build/bench/rapidjson_parse
[[ -x $rapidjson ]] || echo "rapidjson_parse not built (no RapidJSON headers)" >&2
programs=(polc)
[[ -n ${REF:-} ]] && programs+=(ref)
[[ -x $rapidjson ]] && programs+=(rj)

out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

# The command line of `program` over the preset's files.
command_of() {
  case $1 in
    polc) echo "$polc -c -o $out/polc.bin" ;;
    ref) echo "$REF -c -o $out/ref.bin" ;;
    rj) echo "$rapidjson" ;;
  esac
}

printf '%-8s %-4s %5s %8s %4s %7s %7s %5s %7s %7s %5s %5s %8s %6s %7s %9s %6s\n' preset "" files \
  "input MB" runs "polc s" "rj s" ratio "polc cpu" "rj cpu" "cpu r" "sys %" "polc flt" "rj flt" \
  "RSS MB" "RSS/input" "MB/s"
for preset in "$@"; do
  generate "$preset"
  files=("$data/$preset"/policy_*.json)
  bytes=$(cat "${files[@]}" | wc -c)
  n=$runs
  [[ $preset == max || $preset == one-file ]] && n=$max_runs
  declare -A walls=() cpus=() faults=() users=() systems=() peaks=()
  failed=
  for ((i = 0; i < n; i++)); do
    for program in "${programs[@]}"; do
      read -r seconds kib status cpu fault user system < <("$timed" $(command_of "$program") "${files[@]}")
      if ((status != 0)); then failed="$program exit status $status"; break 2; fi
      walls[$program]+="$seconds " cpus[$program]+="$cpu " faults[$program]+="$fault "
      users[$program]+="$user " systems[$program]+="$system "
      ((kib > ${peaks[$program]:-0})) && peaks[$program]=$kib
    done
  done
  if [[ -z $failed && -n ${REF:-} ]] && ! cmp -s "$out/polc.bin" "$out/ref.bin"; then
    failed="polc and ref wrote different binaries"
  fi
  if [[ -n $failed ]]; then
    printf '%-8s %5s  %s (to see its log: %s -c -o OUT %s/*.json)\n' "$preset" "${#files[@]}" \
      "$failed" "$polc" "$data/$preset"
    exit 1
  fi
  med() { tr ' ' '\n' <<<"${1:-0}" | grep . | median; }
  for program in polc ref; do
    [[ -n ${walls[$program]:-} ]] || continue
    awk -v preset="$preset" -v label="$([[ $program == ref ]] && echo ref)" -v files="${#files[@]}" \
      -v bytes="$bytes" -v runs="$n" -v polc="$(med "${walls[$program]}")" \
      -v rapid="$(med "${walls[rj]:-}")" -v pcpu="$(med "${cpus[$program]}")" \
      -v rcpu="$(med "${cpus[rj]:-}")" -v user="$(med "${users[$program]}")" \
      -v sys="$(med "${systems[$program]}")" -v pflt="$(med "${faults[$program]}")" \
      -v rflt="$(med "${faults[rj]:-}")" -v kib="${peaks[$program]}" 'BEGIN {
        ratio = rapid > 0 ? sprintf("%.2f", polc / rapid) : "n/a"
        cpuRatio = rcpu > 0 ? sprintf("%.2f", pcpu / rcpu) : "n/a"
        printf "%-8s %-4s %5d %8.1f %4d %7.4f %7.4f %5s %8.4f %7.4f %5s %5.1f %8d %6d %7.1f %9.2f %6.1f\n",
          preset, label, files, bytes / 1e6, runs, polc, rapid, ratio, pcpu, rcpu, cpuRatio,
          (user > 0 ? 100 * sys / user : 0), pflt, rflt, kib / 1024, kib * 1024 / bytes,
          bytes / 1e6 / polc
      }'
  done
  unset walls cpus faults users systems peaks
done

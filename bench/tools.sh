#!/usr/bin/env bash
# bench/tools.sh: the speed goals of polcdump and polcq at full scale.
#
# Builds Release (build/bench), generates the large and max presets as
# run.sh does, compiles them, and compiles max-changed: max after
# bench/change_policy.py (1 % of the grants edited, ten types joining a
# popular attribute, 100 file contexts moved). Then runs each command RUNS
# times (default 3) and prints medians of wall and CPU seconds (user +
# system) and of minor page faults, and the highest peak RSS. With REF=DIR,
# a tools folder of another build (say, of the checkout before a change),
# the same commands run with its binaries, alternating, in a second row.
# Goals (wall time): polcdump on large --stats / listing / --json <= 0.3 /
# 1.0 / 1.5 s; on max, polcq access -s TYPE <= 1 s, check of 100 assertions
# <= 2 s, reach and flow from one name <= 2 s each, diff max max-changed
# <= 2 s and with --effective <= 10 s, each within 1 GB. A REF build that
# lacks a command (it exits 2) shows no row for it.
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${RUNS:-3}
source bench/common.sh
work=$data/tools
mkdir -p "$work"

for preset in large max; do
  generate "$preset"
  "$build/driver/polc" -c -o "$work/$preset.bin" "$data/$preset"/policy_*.json >/dev/null
done
if ! cmp -s "$data/max/.stamp" "$data/max-changed/.stamp" 2>/dev/null; then
  rm -rf "$data/max-changed"
  bench/change_policy.py "$data/max" "$data/max-changed"
  cp "$data/max/.stamp" "$data/max-changed/.stamp"
fi
"$build/driver/polc" -c -o "$work/max-changed.bin" "$data/max-changed"/policy_*.json >/dev/null

# 100 assertions between the attributes of max with the most members.
python3 - "$data/max" >"$work/assertions.json" <<'PY'
import collections, glob, json, sys
members = collections.Counter()
for f in sorted(glob.glob(sys.argv[1] + '/*.json')):
    for attrs in json.load(open(f))['declarations'].get('typeattr', {}).values():
        members.update(attrs)
attrs = sorted(a for a, _ in members.most_common(100))
rules = [{'subject': attrs[i * 7 % len(attrs)], 'object': attrs[(i * 13 + 5) % len(attrs)],
          'class': 'file', 'operation': ['read', 'write']} for i in range(100)]
json.dump({'neverallow': rules}, sys.stdout)
PY
# A domain of max whose paths take up to two steps; the flow from
# $subject reaches every name.
domain=dns_prop_33122_t
subject=$(python3 -c 'import json, sys; print(json.load(open(sys.argv[1]))["declarations"]["type"][0])' \
  "$data/max/policy_0000.json")

commands=(
  "polcdump --stats $work/large.bin"
  "polcdump $work/large.bin"
  "polcdump --json $work/large.bin"
  "polcq access $work/max.bin -s $subject"
  "polcq check $work/max.bin $work/assertions.json"
  "polcq reach $work/max.bin -s $domain"
  "polcq flow $work/max.bin -s $subject"
  "polcq diff $work/max.bin $work/max-changed.bin"
  "polcq diff --effective $work/max.bin $work/max-changed.bin"
)
builds=("$build/tools")
[[ -n ${REF:-} ]] && builds+=("$REF")

printf '%-9s %-60s %8s %8s %9s %7s\n' tools command "wall s" "cpu s" faults "RSS MB"
for command in "${commands[@]}"; do
  declare -A walls=() cpus=() faults=() peaks=() lacking=()
  for ((i = 0; i < runs; i++)); do
    for tools in "${builds[@]}"; do
      read -r seconds kib status cpu fault _ < <("$timed" "$tools/"$command 2>/dev/null)
      if ((status == 2)) && [[ $tools != "${builds[0]}" ]]; then lacking[$tools]=1; fi
      [[ -n ${lacking[$tools]:-} ]] && continue
      # diff and check exit 1 when they find something.
      if ((status != 0 && status != 1)); then echo "$tools/$command: status $status" >&2; exit 1; fi
      walls[$tools]+="$seconds " cpus[$tools]+="$cpu " faults[$tools]+="$fault "
      ((kib > ${peaks[$tools]:-0})) && peaks[$tools]=$kib
    done
  done
  for tools in "${builds[@]}"; do
    [[ -n ${lacking[$tools]:-} ]] && continue
    printf '%-9s %-60s %8.3f %8.3f %9d %7.1f\n' "$([[ $tools == "${builds[0]}" ]] && echo new || echo ref)" \
      "${command//$work\//}" "$(tr ' ' '\n' <<<"${walls[$tools]}" | grep . | median)" \
      "$(tr ' ' '\n' <<<"${cpus[$tools]}" | grep . | median)" \
      "$(tr ' ' '\n' <<<"${faults[$tools]}" | grep . | median)" "$(bc <<<"scale=1; ${peaks[$tools]} / 1024")"
  done
done

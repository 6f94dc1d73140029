#!/usr/bin/env bash
# fuzz/run.sh BUILD_FUZZ_DIR SECONDS: runs every fuzz target built in
# BUILD_FUZZ_DIR for SECONDS each from a scratch corpus: its seeds in
# fuzz/corpus/<target>, and for fuzz_policy and fuzz_assertions the example
# policy and every JSON file of the golden cases. New inputs never go to the
# repository. Its last line sums the run up; a target that crashes, leaks or
# times out ends it with that target's status.
set -euo pipefail
dir=$1
seconds=$2
here=$(cd "$(dirname "$0")" && pwd)
shopt -s nullglob
targets=0
inputs=0
for target in "$dir"/fuzz_*; do
  [[ -x $target && -f $target ]] || continue
  name=$(basename "$target")
  scratch=$(mktemp -d)
  trap 'rm -rf "$scratch" "$scratch.dict" "$scratch.out"' EXIT
  [[ -d $here/corpus/$name ]] && cp -r "$here/corpus/$name/." "$scratch/"
  options=()
  [[ -f $here/$name.dict ]] && options=(-dict="$here/$name.dict")
  if [[ $name == fuzz_policy || $name == fuzz_assertions ]]; then
    cp "$here"/../examples/*.json "$scratch/"
    awk -v dir="$scratch" '/^--- .*\.json$/ { file = dir "/case_" ++n ".json"; next }
      /^(=== |--- |\$ |\? |2>$)/ { file = ""; next } file != "" { print > file }' \
      "$here"/../tests/cases/*.case
    # The keys, classes and operations a policy may name, from the schemas.
    grep -ho '"[a-z_]*"' "$here"/../schema/*.schema.json | sort -u |
      sed 's/"\(.*\)"/"\\"\1\\""/' > "$scratch.dict"
    options=(-dict="$scratch.dict")
  fi
  echo "== $name for ${seconds}s"
  # A crashing input is kept beside the target, not in the working directory.
  "$target" -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$dir/$name-" \
    "${options[@]}" "$scratch" 2>&1 | tee "$scratch.out"
  inputs=$((inputs + $(awk '/^stat::number_of_executed_units:/ { print $2 }' "$scratch.out")))
  targets=$((targets + 1))
  rm -rf "$scratch" "$scratch.dict" "$scratch.out"
  trap - EXIT
done
((targets > 0)) || { echo "no fuzz targets in $dir" >&2; exit 1; }
echo "$targets targets for ${seconds}s each: $inputs inputs, none failed"

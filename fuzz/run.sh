#!/usr/bin/env bash
# fuzz/run.sh BUILD_FUZZ_DIR SECONDS: runs every fuzz target built in
# BUILD_FUZZ_DIR for SECONDS each, starting from its seed corpus in
# fuzz/corpus/<target>; new inputs go to a scratch copy, never to the repo.
set -euo pipefail
dir=$1
seconds=$2
here=$(cd "$(dirname "$0")" && pwd)
shopt -s nullglob
for target in "$dir"/fuzz_*; do
  [[ -x $target && -f $target ]] || continue
  name=$(basename "$target")
  scratch=$(mktemp -d)
  trap 'rm -rf "$scratch"' EXIT
  [[ -d $here/corpus/$name ]] && cp -r "$here/corpus/$name/." "$scratch/"
  dict=()
  [[ -f $here/$name.dict ]] && dict=(-dict="$here/$name.dict")
  echo "== $name for ${seconds}s"
  # A crashing input is kept beside the target, not in the working directory.
  "$target" -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$dir/$name-" \
    "${dict[@]}" "$scratch"
  rm -rf "$scratch"
  trap - EXIT
done

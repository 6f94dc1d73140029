# Sourced by the bench scripts: builds Release into $build (BUILD_DIR,
# default build/bench) and defines `generate` and `median`.
build=${BUILD_DIR:-build/bench}
data=build/bench-data
timed=$build/bench/timed_run

echo "building Release in $build" >&2
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPOLC_BENCH=ON \
  -DPOLC_TESTS=OFF >/dev/null
cmake --build "$build" -j "${JOBS:-2}" >/dev/null

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

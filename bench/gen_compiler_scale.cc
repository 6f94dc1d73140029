// gen_compiler_scale DIR: writes the full-scale compile policy into DIR as
// policy_0000.json to policy_4095.json: 4096 files, 65535 types and
// attributes, a million grant rules and a hundred thousand file contexts,
// with every labeling kind present. Deterministic: the same bytes on every
// run. Prints the number of files and the total bytes. To measure:
//
//   cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DPOLC_BENCH=ON
//   cmake --build build/bench --target polc gen_compiler_scale
//   build/bench/bench/gen_compiler_scale build/scale-data
//   /usr/bin/time -v build/bench/driver/polc -c -m -o build/scale.bin build/scale-data/*.json
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "bench/policy_generator.h"

namespace {

constexpr polc_bench::PolicyShape COMPILER_SCALE = {
    .name = "compiler-scale",
    .files = 4096,
    .types = 61440,
    .attrs = 4095,
    .typeAttrLinks = 61440,
    .grantRules = 1000000,
    .transitions = 4096,
    .fileContexts = 100000,
    .netifs = 16,
    .packets = 64,
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: gen_compiler_scale DIR\n");
    return 2;
  }
  const std::string problem = polc_bench::CheckShape(COMPILER_SCALE);
  if (!problem.empty()) {
    std::fprintf(stderr, "gen_compiler_scale: %s\n", problem.c_str());
    return 1;
  }
  const std::filesystem::path dir(argv[1]);
  std::filesystem::create_directories(dir);
  unsigned long long bytes = 0;
  for (uint32_t index = 0; index < COMPILER_SCALE.files; ++index) {
    const std::string text = polc_bench::GeneratePolicyFile(COMPILER_SCALE, index);
    std::ofstream file(dir / polc_bench::PolicyFileName(index), std::ios::binary | std::ios::trunc);
    if (!(file << text).flush()) {
      std::fprintf(stderr, "gen_compiler_scale: cannot write into %s\n", argv[1]);
      return 1;
    }
    bytes += text.size();
  }
  std::printf("%u files, %llu bytes\n", COMPILER_SCALE.files, bytes);
  return 0;
}

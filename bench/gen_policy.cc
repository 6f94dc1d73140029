// gen_policy PRESET DIR: writes the source files of a benchmark policy
// (small, medium, large, max or one-file) into DIR, as policy_0000.json and
// onwards, and prints one line: preset, number of files, total bytes.
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "bench/policy_generator.h"

namespace {

bool WriteFile(const std::filesystem::path& path, const std::string& text) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file << text;
  return static_cast<bool>(file.flush());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: gen_policy small|medium|large|max|one-file DIR\n");
    return 2;
  }
  const polc_bench::PolicyShape* shape = polc_bench::FindPreset(argv[1]);
  if (shape == nullptr) {
    std::fprintf(stderr, "gen_policy: unknown preset %s\n", argv[1]);
    return 2;
  }
  const std::filesystem::path dir(argv[2]);
  std::error_code error;
  std::filesystem::create_directories(dir, error);
  uint64_t bytes = 0;
  for (uint32_t index = 0; index < shape->files; ++index) {
    const std::string text = polc_bench::GeneratePolicyFile(*shape, index);
    const std::filesystem::path path = dir / polc_bench::PolicyFileName(index);
    if (!WriteFile(path, text)) {
      std::fprintf(stderr, "gen_policy: cannot write %s\n", path.c_str());
      return 1;
    }
    bytes += text.size();
  }
  std::printf("%s %u %llu\n", argv[1], shape->files, static_cast<unsigned long long>(bytes));
  return 0;
}

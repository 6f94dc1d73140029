// rapidjson_parse FILE...: the baseline that polc is measured against.
// Reads each file whole and parses it into a RapidJSON DOM document, one
// file at a time as polc does, releasing each document before the next
// file. Prints one line:
//   read-seconds parse-seconds total-seconds input-bytes
// Exits 1 when a file cannot be read or is not valid JSON.
#include <rapidjson/document.h>
#include <rapidjson/error/en.h>

#include <chrono>
#include <cstdio>
#include <string>

namespace {

using Clock = std::chrono::steady_clock;

double Since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

bool ReadWhole(const char* path, std::string& text) {
  FILE* file = std::fopen(path, "rb");
  if (file == nullptr) return false;
  bool ok = std::fseek(file, 0, SEEK_END) == 0;
  const long size = ok ? std::ftell(file) : -1;
  ok = size >= 0 && std::fseek(file, 0, SEEK_SET) == 0;
  if (ok) {
    text.resize(static_cast<size_t>(size));
    ok = std::fread(text.data(), 1, text.size(), file) == text.size();
  }
  std::fclose(file);
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  double readSeconds = 0;
  double parseSeconds = 0;
  unsigned long long bytes = 0;
  std::string text;
  for (int i = 1; i < argc; ++i) {
    Clock::time_point start = Clock::now();
    if (!ReadWhole(argv[i], text)) {
      std::fprintf(stderr, "rapidjson_parse: cannot read %s\n", argv[i]);
      return 1;
    }
    readSeconds += Since(start);
    bytes += text.size();
    start = Clock::now();
    {
      rapidjson::Document document;
      document.Parse(text.c_str(), text.size());
      if (document.HasParseError()) {
        std::fprintf(stderr, "rapidjson_parse: %s: %s at %zu\n", argv[i],
                     rapidjson::GetParseError_En(document.GetParseError()),
                     document.GetErrorOffset());
        return 1;
      }
    }
    parseSeconds += Since(start);
  }
  std::printf("%.6f %.6f %.6f %llu\n", readSeconds, parseSeconds, readSeconds + parseSeconds,
              bytes);
  return 0;
}

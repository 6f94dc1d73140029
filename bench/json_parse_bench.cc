// Parsing speed on a generated policy source: mostly short strings in
// arrays and small objects, pretty-printed as authors write them. With the
// reference parser's headers present, the same bytes are parsed by its DOM
// parser in the same run.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>

#include "json/json.h"

#ifdef POLC_BENCH_RAPIDJSON
#include <rapidjson/document.h>
#endif

namespace {

// Deterministic pseudo-random numbers, so every run parses the same bytes.
class Lcg {
 public:
  uint32_t Next(uint32_t bound) {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    return static_cast<uint32_t>(state >> 33) % bound;
  }

 private:
  uint64_t state = 42;
};

const char* const CLASSES[] = {"file",    "dir",       "tcp_socket", "udp_socket",
                               "process", "fifo_file", "lnk_file",   "chr_file"};
const char* const OPERATIONS[] = {"read",   "write", "open",   "getattr", "setattr", "create",
                                  "unlink", "ioctl", "search", "connect", "bind",    "execute"};

std::string TypeName(uint32_t n) { return "app_" + std::to_string(n) + "_t"; }

void AppendQuoted(std::string& out, const std::string& text) { out += "\"" + text + "\""; }

void AppendNameArray(std::string& out, Lcg& rng, uint32_t count, const char* const* names,
                     uint32_t nameCount) {
  out += "[";
  for (uint32_t i = 0; i < count; ++i) {
    if (i > 0) out += ", ";
    AppendQuoted(out, names[rng.Next(nameCount)]);
  }
  out += "]";
}

void AppendDeclarations(std::string& out, Lcg& rng, uint32_t types) {
  out += "  \"declarations\": {\n    \"type\": [";
  for (uint32_t i = 0; i < types; ++i) {
    out += i % 8 == 0 ? "\n      " : " ";
    AppendQuoted(out, TypeName(i));
    if (i + 1 < types) out += ",";
  }
  out += "\n    ],\n    \"attr\": [\"domain\", \"file_type\", \"exec_type\"],\n";
  out += "    \"typeattr\": {\n";
  for (uint32_t i = 0; i < types; ++i) {
    out += "      \"" + TypeName(i) + "\": [\"domain\", \"file_type\"]";
    out += i + 1 < types ? ",\n" : "\n";
  }
  out += "    },\n    \"labeling\": {\n      \"file\": [\n";
  for (uint32_t i = 0; i < types; ++i) {
    out += "        {\"path\": \"/usr/bin/app" + std::to_string(rng.Next(100000)) +
           "\", \"context\": \"" + TypeName(i) + "\"}";
    out += i + 1 < types ? ",\n" : "\n";
  }
  out += "      ]\n    }\n  },\n";
}

void AppendRule(std::string& out, Lcg& rng, uint32_t types) {
  out += "    {\n      \"subject\": \"" + TypeName(rng.Next(types)) + "\",\n";
  out += "      \"teac\": [\n";
  uint32_t entries = 1 + rng.Next(4);
  for (uint32_t i = 0; i < entries; ++i) {
    out += "        {\"object\": \"" + TypeName(rng.Next(types)) + "\", \"class\": \"" +
           CLASSES[rng.Next(8)] + "\", \"operation\": ";
    AppendNameArray(out, rng, 1 + rng.Next(5), OPERATIONS, 12);
    out += i + 1 < entries ? "},\n" : "}\n";
  }
  out += "      ],\n      \"type_transition\": [\n";
  out += "        {\"object\": \"tmp_t\", \"class\": \"file\", \"target\": \"" +
         TypeName(rng.Next(types)) + "\"}\n      ]\n    }";
}

// A policy source of about `bytes` bytes.
std::string PolicyDocument(size_t bytes) {
  Lcg rng;
  constexpr uint32_t TYPES = 400;
  std::string out = "{\n";
  AppendDeclarations(out, rng, TYPES);
  out += "  \"rules\": [\n";
  for (bool first = true; out.size() < bytes; first = false) {
    if (!first) out += ",\n";
    AppendRule(out, rng, TYPES);
  }
  out += "\n  ]\n}\n";
  return out;
}

const std::string& Document(int64_t megabytes) {
  static std::string small = PolicyDocument(size_t{1} << 20);
  static std::string large = PolicyDocument(size_t{64} << 20);
  return megabytes == 1 ? small : large;
}

void BM_PolcParse(benchmark::State& state) {
  const std::string& text = Document(state.range(0));
  for (auto _ : state) {
    JsonValue* root = nullptr;
    if (JsonParse(text.c_str(), &root) != JSON_OK) {
      state.SkipWithError("parse failed");
      break;
    }
    benchmark::DoNotOptimize(root);
    JsonDelete(root);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(text.size()));
}
BENCHMARK(BM_PolcParse)->Arg(1)->Arg(64)->Unit(benchmark::kMillisecond);

#ifdef POLC_BENCH_RAPIDJSON
void BM_ReferenceDomParse(benchmark::State& state) {
  const std::string& text = Document(state.range(0));
  for (auto _ : state) {
    rapidjson::Document doc;
    doc.Parse(text.c_str());
    if (doc.HasParseError()) {
      state.SkipWithError("parse failed");
      break;
    }
    benchmark::DoNotOptimize(doc);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(text.size()));
}
BENCHMARK(BM_ReferenceDomParse)->Arg(1)->Arg(64)->Unit(benchmark::kMillisecond);
#endif

}  // namespace

// polclint refuses exactly what polc refuses: for every set of sources, it
// reports an error if and only if polc's reader fails on them.
#include "tools/lint/lint.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "bench/policy_generator.h"
#include "reader/json_parser.h"
#include "tests/support/polc_test.h"

namespace {

namespace fs = std::filesystem;

// polc's verdict and polclint's on the sources `paths`, with what polclint
// says when they differ.
void ExpectSameVerdict(const std::vector<std::string>& paths, const std::string& what) {
  JsonParser reader;
  int status = 0;
  polc_test::CaptureLog([&] { status = reader.ParseJsonFiles(paths); });
  const std::vector<Diagnostic> diagnostics = LintSources(paths);
  const auto firstError =
      std::find_if(diagnostics.begin(), diagnostics.end(),
                   [](const Diagnostic& d) { return d.severity == Severity::ERROR; });
  const bool lintRefuses = firstError != diagnostics.end();
  EXPECT_EQ(lintRefuses, status != 0)
      << what << ": polclint "
      << (lintRefuses ? "reports " + std::string(firstError->code) + " " + firstError->message
                      : "reports no error, polc says " +
                            (reader.GetDiagnostics().Items().empty()
                                 ? std::string("nothing")
                                 : reader.GetDiagnostics().Items().back().message));
}

// The string tokens of a JSON text: [start, end) with the quotes.
std::vector<std::pair<size_t, size_t>> StringTokens(const std::string& text) {
  std::vector<std::pair<size_t, size_t>> tokens;
  for (size_t at = text.find('"'); at != std::string::npos; at = text.find('"', at)) {
    size_t end = at + 1;
    while (end < text.size() && text[end] != '"') end += text[end] == '\\' ? 2 : 1;
    tokens.emplace_back(at, end + 1);
    at = end + 1;
  }
  return tokens;
}

// Whether the string token ending at `end` is a member key.
bool IsKey(const std::string& text, size_t end) {
  const size_t next = text.find_first_not_of(" \t\n", end);
  return next != std::string::npos && text[next] == ':';
}

// One random edit of `texts`, mostly of one string value: another string
// of the policy in its place, a value of another kind, a letter changed, the
// element dropped from its array; or a key renamed, or a whole file copied.
// What it did.
std::string Mutate(std::vector<std::string>& texts, std::mt19937& random) {
  auto pick = [&random](size_t count) {
    return std::uniform_int_distribution<size_t>(0, count - 1)(random);
  };
  const size_t file = pick(texts.size());
  std::string& text = texts[file];
  const auto tokens = StringTokens(text);
  const auto [start, end] = tokens[pick(tokens.size())];
  const std::string& donor = texts[pick(texts.size())];
  const auto donorTokens = StringTokens(donor);
  const auto [donorStart, donorEnd] = donorTokens[pick(donorTokens.size())];
  const std::string other = donor.substr(donorStart, donorEnd - donorStart);
  const std::string old = text.substr(start, end - start);
  const size_t kind = pick(12);
  if (kind == 0) {
    texts.push_back(texts[file]);
    return "file " + std::to_string(file) + " copied";
  }
  if (IsKey(text, end) != (kind == 1)) return "nothing";
  if (kind <= 5) {
    text.replace(start, end - start, other);
    return old + " became " + other;
  }
  if (kind <= 7) {
    static const char* const VALUES[] = {"7", "null", "true", "[]", "{}", "[\"x\"]"};
    const std::string value = VALUES[pick(std::size(VALUES))];
    text.replace(start, end - start, value);
    return old + " became " + value;
  }
  if (kind <= 9) {
    static const std::string LETTERS = "abz_./:-!A";
    if (end - start > 2) text[start + 1 + pick(end - start - 2)] = LETTERS[pick(LETTERS.size())];
    return old + " became " + text.substr(start, end - start);
  }
  // Drops the element with its comma, when it stands in an array.
  const size_t before = text.find_last_not_of(" \t\n", start - 1);
  const size_t after = text.find_first_not_of(" \t\n", end);
  if (text[before] == ',') {
    text.erase(before, end - before);
  } else if (text[before] == '[' && text[after] == ',') {
    text.erase(start, after + 1 - start);
  } else if (text[before] == '[' && text[after] == ']') {
    text.erase(start, end - start);
  } else {
    return "nothing";
  }
  return old + " dropped";
}

TEST(Lint, RefusesWhatPolcRefusesInMutatedPolicies) {
  const polc_bench::PolicyShape shape{"lint", 3, 24, 5, 20, 60, 10, 12, 3, 4};
  std::vector<std::string> pristine;
  for (uint32_t file = 0; file < shape.files; ++file) {
    pristine.push_back(GeneratePolicyFile(shape, file));
  }
  const polc_test::TempDir dir;
  std::mt19937 random(2026);
  for (int round = 0; round < 600; ++round) {
    std::vector<std::string> texts = pristine;
    std::string what = "round " + std::to_string(round) + ":";
    for (int edit = 0; edit <= round % 3; ++edit) what += " " + Mutate(texts, random) + ";";
    std::vector<std::string> paths;
    for (uint32_t file = 0; file < texts.size(); ++file) {
      paths.push_back(dir.Write(polc_bench::PolicyFileName(file), texts[file]));
    }
    ExpectSameVerdict(paths, what);
  }
}

// Every source file of the golden cases on its own, and the files of each
// case together.
TEST(Lint, RefusesWhatPolcRefusesInTheGoldenCases) {
  const polc_test::TempDir dir;
  for (const auto& entry : fs::directory_iterator(POLC_SOURCE_DIR "/tests/cases")) {
    std::ifstream in(entry.path());
    std::map<std::string, std::string> files;  // of the current case, by name
    std::string* text = nullptr;
    const auto checkCase = [&] {
      std::vector<std::string> all;
      for (const auto& [name, content] : files) {
        const std::string path = dir.Write(name, content);
        ExpectSameVerdict({path}, entry.path().filename().string() + " " + name);
        all.push_back(path);
      }
      if (all.size() > 1) ExpectSameVerdict(all, entry.path().filename().string() + " together");
      fs::remove_all(dir.path()), fs::create_directories(dir.path());
      files.clear();
    };
    for (std::string line; std::getline(in, line);) {
      if (line.starts_with("=== ")) checkCase();
      if (line.starts_with("--- ") && line.ends_with(".json")) {
        text = &files[line.substr(4)];
        text->clear();
      } else if (line.starts_with("--- ") || line.starts_with("$ ") || line.starts_with("=== ")) {
        text = nullptr;
      } else if (text != nullptr) {
        *text += line + "\n";
      }
    }
    checkCase();
  }
}

}  // namespace

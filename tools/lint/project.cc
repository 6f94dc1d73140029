#include "tools/lint/project.h"

#include <glob.h>

#include <algorithm>
#include <filesystem>
#include <memory>

#include "json/json.h"
#include "reader/json_access.h"
#include "reader/source_loader.h"

namespace {

// Glob of `pattern` below `folder`, unless the pattern is absolute.
void AddMatches(const std::string& folder, const std::string& pattern,
                std::vector<std::string>& sources) {
  const std::string full = !pattern.empty() && pattern[0] == '/' ? pattern : folder + "/" + pattern;
  glob_t matches{};
  if (glob(full.c_str(), 0, nullptr, &matches) == 0) {
    for (size_t i = 0; i < matches.gl_pathc; ++i) sources.emplace_back(matches.gl_pathv[i]);
  }
  globfree(&matches);
}

// Skips a JSON string at `pos` (its opening quote); the position after it.
size_t SkipString(std::string_view text, size_t pos) {
  for (++pos; pos < text.size() && text[pos] != '"'; ++pos) {
    if (text[pos] == '\\') ++pos;
  }
  return pos + 1;
}

}  // namespace

std::string LoadProjectSources(const std::string& path, std::vector<std::string>& sources) {
  const LoadedSource project = LoadSource(path);
  if (project.status == LoadedSource::Status::READ_FAILED) return "cannot read " + path;
  if (project.status == LoadedSource::Status::INVALID_JSON) {
    return path + ": not valid JSON: " + project.error;
  }
  JsonValue* patterns = nullptr;
  if (JsonGetObjectItem(project.tree.get(), "sources", &patterns) != JSON_OK ||
      JsonGetKind(patterns) != JSON_ARRAY) {
    return path + ": expected an object with a \"sources\" array";
  }
  const std::string parent = std::filesystem::path(path).parent_path().string();
  const std::string folder = parent.empty() ? std::string(".") : parent;
  if (ForEachArrayString(patterns,
                         [&](const char* pattern) { AddMatches(folder, pattern, sources); })) {
    return path + ": a pattern of \"sources\" is not a string";
  }
  // A pattern such as "*.json" would take the project file too.
  std::erase_if(sources, [&path](const std::string& source) {
    std::error_code error;
    return std::filesystem::equivalent(source, path, error);
  });
  std::sort(sources.begin(), sources.end());
  sources.erase(std::unique(sources.begin(), sources.end()), sources.end());
  return "";
}

bool IsPolicySourceText(std::string_view text) {
  size_t depth = 0;
  for (size_t pos = 0; pos < text.size(); ++pos) {
    const char c = text[pos];
    if (c == '{' || c == '[') {
      ++depth;
    } else if (c == '}' || c == ']') {
      if (depth-- <= 1) return false;
    } else if (c == '"') {
      const size_t end = std::min(SkipString(text, pos), text.size());
      const std::string_view word = text.substr(pos + 1, end - pos - 2);
      const size_t next = text.find_first_not_of(" \t\r\n", end);
      const bool isKey = next != std::string_view::npos && text[next] == ':';
      if (depth == 1 && isKey && (word == "declarations" || word == "rules")) return true;
      pos = end - 1;
    }
  }
  return false;
}

std::vector<std::string> FindPolicySources(const std::string& folder) {
  namespace fs = std::filesystem;
  std::vector<std::string> sources;
  std::error_code error;
  fs::recursive_directory_iterator it(folder, fs::directory_options::skip_permission_denied, error);
  for (; !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
    const std::string name = it->path().filename().string();
    if (it->is_directory(error) && (name.starts_with(".") || name == "node_modules")) {
      it.disable_recursion_pending();
      continue;
    }
    if (!it->is_regular_file(error) || it->path().extension() != ".json") continue;
    SourceText text;
    size_t size = 0;
    if (ReadSourceFile(it->path().string(), text, size) == 0 &&
        IsPolicySourceText(std::string_view(text.get(), size))) {
      sources.push_back(it->path().string());
    }
  }
  std::sort(sources.begin(), sources.end());
  return sources;
}

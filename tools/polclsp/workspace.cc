#include "tools/polclsp/workspace.h"

#include <malloc.h>

#include <filesystem>
#include <utility>

#include "base/huge_pages.h"
#include "reader/source_loader.h"
#include "tools/lint/project.h"

namespace {

// The text of the file `path`; empty when it cannot be read.
std::string FileText(const std::string& path) {
  SourceText text;
  size_t size = 0;
  if (ReadSourceFile(path, text, size) != 0) return "";
  return std::string(text.get(), size);
}

bool IsBelow(const std::string& path, const std::string& folder) {
  return !folder.empty() && path.size() > folder.size() &&
         path.compare(0, folder.size(), folder) == 0 && path[folder.size()] == '/';
}

}  // namespace

const SourceLines& Workspace::Source::Lines() const {
  if (lines == nullptr) lines = std::make_unique<SourceLines>(text);
  return *lines;
}

void Workspace::Open(const std::string& folder) {
  root = folder;
  sources.clear();
  changed = true;
  std::vector<std::string> paths;
  const std::string project = root + "/" + PROJECT_FILE_NAME;
  if (std::filesystem::exists(project)) {
    projectFile = project;
    LoadProjectSources(project, paths);
  } else {
    projectFile.clear();
    paths = FindPolicySources(root);
  }
  for (const std::string& path : paths) sources[path].text = FileText(path);
}

void Workspace::SetText(const std::string& path, std::string text) {
  auto found = sources.find(path);
  if (found == sources.end()) {
    // Without a project file, a new policy source below the root joins.
    if (!projectFile.empty() || !IsBelow(path, root) || !IsPolicySourceText(text)) return;
    found = sources.emplace(path, Source()).first;
  }
  Source& source = found->second;
  source.text = std::move(text);
  source.open = true;
  source.stale = true;
  source.lines.reset();
  changed = true;
}

void Workspace::Close(const std::string& path) {
  const auto found = sources.find(path);
  if (found == sources.end()) return;
  found->second.open = false;
  Reload(path);
}

void Workspace::Reload(const std::string& path) {
  if (path == projectFile) {
    Open(root);
    return;
  }
  const auto found = sources.find(path);
  if (found != sources.end() && found->second.open) return;
  if (!std::filesystem::exists(path)) {
    if (found != sources.end()) sources.erase(found);
    changed = true;
    return;
  }
  std::string text = FileText(path);
  if (found == sources.end()) {
    if (!projectFile.empty() || !IsBelow(path, root) || !IsPolicySourceText(text)) return;
  }
  Source& source = sources[path];
  source.text = std::move(text);
  source.stale = true;
  source.lines.reset();
  changed = true;
}

void Workspace::Read(const std::string& path, Source& source) {
  source.facts =
      linter.Read(path, ParseSource(source.text.c_str(), source.text.size(), Places::FIND));
  source.stale = false;
}

void Workspace::ReadStale() {
  bool read = false;
  for (auto& [path, source] : sources) {
    if (!source.stale) continue;
    Read(path, source);
    read = true;
  }
  if (!read) return;
  // The blocks that file texts and documents left for the next file's: an
  // idle server needs none.
  DropKeptBlocks();
  Compact();
}

void Workspace::Compact() {
  // Twice the texts of the last compaction, and some room for a small policy.
  constexpr size_t ROOM = 1024;
  if (Names().size() <= 2 * namesAfterCompaction + ROOM) return;
  std::vector<SourceFacts*> facts;
  for (auto& [path, source] : sources) facts.push_back(&source.facts);
  linter.Compact(facts);
  namesAfterCompaction = Names().size();
  // The old pools' blocks went back to the allocator; give them back to the
  // system too, or a long session keeps them.
  malloc_trim(0);
}

const Workspace::Source* Workspace::Find(const std::string& path) {
  ReadStale();
  const auto found = sources.find(path);
  return found == sources.end() ? nullptr : &found->second;
}

const std::map<std::string, Workspace::Source>& Workspace::Sources() {
  ReadStale();
  return sources;
}

const std::vector<Diagnostic>& Workspace::Diagnostics() {
  if (!changed) return diagnostics;
  ReadStale();
  std::vector<std::string> paths;
  std::vector<const SourceFacts*> facts;
  for (const auto& [path, source] : sources) {
    paths.push_back(path);
    facts.push_back(&source.facts);
  }
  diagnostics = linter.Check(paths, facts);
  changed = false;
  return diagnostics;
}

std::string Workspace::PolicyPlace() const {
  if (!projectFile.empty()) return projectFile;
  return sources.empty() ? std::string() : sources.begin()->first;
}

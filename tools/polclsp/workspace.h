// The policy the language server keeps: every source file of the
// workspace's policy with its current text (the editor's, for an open
// document, else the file's) and what the linter read of it.
//
// Which files form the policy: those the project file at the root
// (polc-project.json) names, or else every .json file below the root whose
// top level is a policy source, and any such document the editor opens
// below the root later. A file changed in the editor is read again alone;
// the checks of the whole policy run when diagnostics are asked for.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "base/diagnostic.h"
#include "tools/lint/lint.h"

class Workspace {
 public:
  struct Source {
    std::string text;
    bool open = false;  // the editor holds it: its text wins over the disk
    bool stale = true;  // the text changed since `facts` were read
    SourceFacts facts;
    // Lines of `text`, made when first needed.
    const SourceLines& Lines() const;

   private:
    friend class Workspace;
    mutable std::unique_ptr<SourceLines> lines;
  };

  // Takes the policy below `root`.
  void Open(const std::string& root);
  // The editor opened or changed the document `path`.
  void SetText(const std::string& path, std::string text);
  // The editor closed `path`: the file's text holds again.
  void Close(const std::string& path);
  // The file `path` changed on disk, or came or went.
  void Reload(const std::string& path);

  // The source `path`, or null when it is no source of the policy. Like
  // Sources, it first reads every source whose text changed, which may
  // renumber the names: ids taken before a text change do not hold after.
  const Source* Find(const std::string& path);
  // Every source, each with facts read from its current text, by path.
  const std::map<std::string, Source>& Sources();
  // The name pools the facts' ids refer to.
  const NamePool& Names() const { return linter.Pools().names; }
  // Every diagnostic of the policy, as polclint reports them.
  const std::vector<Diagnostic>& Diagnostics();
  // Where the faults of the policy as a whole are shown: the project file,
  // or else the first source.
  std::string PolicyPlace() const;
  bool Changed() const { return changed; }

 private:
  void Read(const std::string& path, Source& source);
  void ReadStale();
  // Compacts the name pools once they hold many texts no source uses.
  void Compact();

  std::string root;
  std::string projectFile;  // empty without one
  std::map<std::string, Source> sources;
  Linter linter;
  std::vector<Diagnostic> diagnostics;
  bool changed = true;              // since the diagnostics were made
  size_t namesAfterCompaction = 0;  // the size of the name pool then
};

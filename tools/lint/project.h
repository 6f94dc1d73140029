// Which files form a policy: a project file at the root of a workspace,
// "polc-project.json", lists them as patterns relative to its folder:
//
//   {"sources": ["policy/*.json", "local/site.json"]}
//
// A pattern is a shell pattern of glob(3) (* ? [...]) and may match no
// file. Without a project file, a workspace's policy is every .json file
// below it whose top level is a policy source: an object with a
// "declarations" or a "rules" member (IsPolicySourceText).
#pragma once

#include <string>
#include <string_view>
#include <vector>

inline constexpr char PROJECT_FILE_NAME[] = "polc-project.json";

// The sources the project file `path` names, sorted and each once, as paths
// joined to the project file's folder; an error text, or "".
std::string LoadProjectSources(const std::string& path, std::vector<std::string>& sources);

// Whether `text` looks like a policy source: its first-level keys hold
// "declarations" or "rules". Text that is not JSON counts when such a key
// stands at the first level before the text goes wrong, so that a policy
// file with a syntax error still belongs to its policy.
bool IsPolicySourceText(std::string_view text);

// Every .json file below `folder` that IsPolicySourceText, sorted; folders
// whose name starts with "." and "node_modules" are not searched.
std::vector<std::string> FindPolicySources(const std::string& folder);

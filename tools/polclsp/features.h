// What the language server answers about the policy: each function takes
// the workspace and a place in one of its sources and gives the JSON of the
// result, as the protocol shapes it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/diagnostic.h"
#include "tools/lint/uri.h"
#include "tools/polclsp/json_out.h"
#include "tools/polclsp/workspace.h"

// The protocol's position of byte `offset` of `source`, and back; lines and
// characters from 0, characters in UTF-16 code units.
void AppendPosition(JsonOut& out, const Workspace::Source& source, uint32_t offset);
uint32_t OffsetAt(const Workspace::Source& source, uint32_t line, uint32_t character);
// The range of the token that starts at `offset` (a string with its quotes,
// a word, or one byte).
void AppendRange(JsonOut& out, const Workspace::Source& source, uint32_t offset);
// A Location: the uri of `path` and the range of the token at `offset`.
void AppendLocation(JsonOut& out, const std::string& path, const Workspace::Source& source,
                    uint32_t offset);

// The diagnostics of `path` (those of `diagnostics` placed in it), as the
// array of a publishDiagnostics notification.
std::string DiagnosticsJson(Workspace& workspace, const std::string& path,
                            const std::vector<const Diagnostic*>& diagnostics);

std::string CompletionJson(Workspace& workspace, const std::string& path, uint32_t offset);
std::string HoverJson(Workspace& workspace, const std::string& path, uint32_t offset);
std::string DefinitionJson(Workspace& workspace, const std::string& path, uint32_t offset);
std::string ReferencesJson(Workspace& workspace, const std::string& path, uint32_t offset,
                           bool withDeclarations);
std::string DocumentSymbolJson(Workspace& workspace, const std::string& path);
std::string WorkspaceSymbolJson(Workspace& workspace, std::string_view query);
// The range of the name at `offset` with its text, or null when there is no
// declared name there.
std::string PrepareRenameJson(Workspace& workspace, const std::string& path, uint32_t offset);
// The workspace edit that renames the declared name at `offset` to
// `newName` everywhere, or an empty string with `error` set.
std::string RenameJson(Workspace& workspace, const std::string& path, uint32_t offset,
                       std::string_view newName, std::string& error);
// The quick fixes for the diagnostics of `path` that meet the offsets
// [start, end].
std::string CodeActionJson(Workspace& workspace, const std::string& path, uint32_t start,
                           uint32_t end);

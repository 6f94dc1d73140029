// polclsp's handling of language server protocol messages (JSON-RPC 2.0):
// the lifecycle, the documents, and the features over the policy the
// Workspace keeps.
//
// The server answers every request, in order: a message that is not JSON,
// a request it does not know or one whose parameters are wrong gets an
// error response, never a crash. Diagnostics go out for every file whose
// diagnostics changed: when no input is waiting (the caller's Idle), and
// before the answer to any request but completion, so that answers and
// diagnostics never disagree and completion does not wait for the checks
// of the whole policy.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "tools/polclsp/workspace.h"

class Server {
 public:
  // `send` writes one message body.
  explicit Server(std::function<void(const std::string&)> send) : send(std::move(send)) {}

  // Handles the message `body`; it may be modified.
  void Handle(std::string& body);
  // A header block without a usable length, or a message too large to
  // read: answered with a JSON-RPC error.
  void BadMessage(std::string_view why);
  // No input is waiting: a moment to send the diagnostics.
  void Idle() { PublishDiagnostics(); }

  bool Exited() const { return exited; }
  // 0 after shutdown then exit, 1 for an exit without shutdown.
  int ExitStatus() const { return shutDown ? 0 : 1; }

 private:
  struct Request;

  // What a feature answers at a place of a document.
  using PlaceFeature = std::string (*)(Workspace& workspace, const std::string& path,
                                       uint32_t offset);

  void Dispatch(const Request& request);
  // Answers `request`, a TextDocumentPositionParams, with `feature`.
  void AnswerAtPlace(const Request& request, PlaceFeature feature);
  void Respond(const Request& request, const std::string& result);
  void RespondError(const Request& request, int code, std::string_view message);
  void SendError(std::string_view id, int code, std::string_view message);
  void PublishDiagnostics();

  void Initialize(const Request& request);
  void DidOpen(const Request& request);
  void DidChange(const Request& request);
  void DidClose(const Request& request);
  void DidChangeWatchedFiles(const Request& request);
  void Completion(const Request& request);
  void Hover(const Request& request);
  void Definition(const Request& request);
  void References(const Request& request);
  void DocumentSymbol(const Request& request);
  void WorkspaceSymbol(const Request& request);
  void PrepareRename(const Request& request);
  void Rename(const Request& request);
  void CodeAction(const Request& request);

  std::function<void(const std::string&)> send;
  Workspace workspace;
  bool initialized = false;
  bool shutDown = false;
  bool exited = false;
  // By path: the diagnostics last sent, as sent.
  std::map<std::string, std::string> published;
};

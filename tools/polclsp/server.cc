#include "tools/polclsp/server.h"

#include <map>
#include <set>
#include <utility>
#include <vector>

#include "rapidjson/document.h"
#include "tools/polclsp/features.h"
#include "tools/polclsp/json_out.h"

namespace {

using Json = rapidjson::Value;

// JSON-RPC and protocol error codes.
constexpr int PARSE_ERROR = -32700;
constexpr int INVALID_REQUEST = -32600;
constexpr int METHOD_NOT_FOUND = -32601;
constexpr int INVALID_PARAMS = -32602;
constexpr int SERVER_NOT_INITIALIZED = -32002;
constexpr int REQUEST_FAILED = -32803;

const Json* Member(const Json* value, const char* key) {
  if (value == nullptr || !value->IsObject()) return nullptr;
  const auto found = value->FindMember(key);
  return found == value->MemberEnd() ? nullptr : &found->value;
}

std::optional<std::string_view> StringOf(const Json* value) {
  if (value == nullptr || !value->IsString()) return std::nullopt;
  return std::string_view(value->GetString(), value->GetStringLength());
}

std::optional<uint32_t> UintOf(const Json* value) {
  if (value == nullptr || !value->IsUint()) return std::nullopt;
  return value->GetUint();
}

// The path of params.textDocument.uri.
std::optional<std::string> DocumentPath(const Json* params) {
  const auto uri = StringOf(Member(Member(params, "textDocument"), "uri"));
  if (!uri) return std::nullopt;
  return PathOfUri(*uri);
}

// The offset in `source` of the position `position` ({line, character}).
std::optional<uint32_t> OffsetOf(const Workspace::Source& source, const Json* position) {
  const auto line = UintOf(Member(position, "line"));
  const auto character = UintOf(Member(position, "character"));
  if (!line || !character) return std::nullopt;
  return OffsetAt(source, *line, *character);
}

// The text of `source` with the changes of a didChange applied: a change
// with a range replaces it, one without replaces the whole text.
std::optional<std::string> ChangedText(const Workspace::Source& source, const Json* changes) {
  if (changes == nullptr || !changes->IsArray()) return std::nullopt;
  std::string text = source.text;
  for (const Json& change : changes->GetArray()) {
    const auto changed = StringOf(Member(&change, "text"));
    if (!changed) return std::nullopt;
    const Json* range = Member(&change, "range");
    if (range == nullptr) {
      text = *changed;
      continue;
    }
    Workspace::Source current;
    current.text = text;
    const auto start = OffsetOf(current, Member(range, "start"));
    const auto end = OffsetOf(current, Member(range, "end"));
    if (!start || !end || *start > *end) return std::nullopt;
    text.replace(*start, *end - *start, *changed);
  }
  return text;
}

}  // namespace

struct Server::Request {
  std::string method;
  std::string id;  // as JSON; empty for a notification
  const Json* params;
};

void Server::Handle(std::string& body) {
  rapidjson::Document message;
  // Iterative: a message nested deep cannot exhaust the stack.
  message.ParseInsitu<rapidjson::kParseIterativeFlag>(body.data());
  if (message.HasParseError()) return SendError("null", PARSE_ERROR, "not JSON");
  Request request{"", "", Member(&message, "params")};
  if (const Json* id = Member(&message, "id")) {
    JsonOut out;
    if (id->IsInt64()) {
      request.id = out.Int(id->GetInt64()).Take();
    } else if (id->IsString()) {
      request.id = out.String(*StringOf(id)).Take();
    } else {
      return SendError("null", INVALID_REQUEST, "an id is a number or a string");
    }
  }
  const auto method = StringOf(Member(&message, "method"));
  if (!method) {
    // A response to a request of ours; the server sends none.
    if (request.id.empty() || Member(&message, "result") != nullptr ||
        Member(&message, "error") != nullptr) {
      return;
    }
    return RespondError(request, INVALID_REQUEST, "a request has a method");
  }
  request.method = *method;
  Dispatch(request);
}

void Server::BadMessage(std::string_view why) { SendError("null", PARSE_ERROR, why); }

void Server::Dispatch(const Request& request) {
  using Handler = void (Server::*)(const Request&);
  static const std::map<std::string, Handler, std::less<>> REQUESTS = {
      {"textDocument/completion", &Server::Completion},
      {"textDocument/hover", &Server::Hover},
      {"textDocument/definition", &Server::Definition},
      {"textDocument/references", &Server::References},
      {"textDocument/documentSymbol", &Server::DocumentSymbol},
      {"workspace/symbol", &Server::WorkspaceSymbol},
      {"textDocument/prepareRename", &Server::PrepareRename},
      {"textDocument/rename", &Server::Rename},
      {"textDocument/codeAction", &Server::CodeAction},
  };
  static const std::map<std::string, Handler, std::less<>> NOTIFICATIONS = {
      {"textDocument/didOpen", &Server::DidOpen},
      {"textDocument/didChange", &Server::DidChange},
      {"textDocument/didClose", &Server::DidClose},
      {"workspace/didChangeWatchedFiles", &Server::DidChangeWatchedFiles},
  };
  const bool isRequest = !request.id.empty();
  if (request.method == "exit") {
    exited = true;
    return;
  }
  if (shutDown) {
    if (isRequest) RespondError(request, INVALID_REQUEST, "the server is shut down");
    return;
  }
  if (request.method == "initialize") {
    if (!isRequest) return;
    return initialized ? RespondError(request, INVALID_REQUEST, "initialized already")
                       : Initialize(request);
  }
  if (!initialized) {
    if (isRequest) RespondError(request, SERVER_NOT_INITIALIZED, "initialize first");
    return;
  }
  if (isRequest && request.method != "textDocument/completion") PublishDiagnostics();
  if (request.method == "shutdown") {
    shutDown = true;
    return Respond(request, "null");
  }
  const auto& table = isRequest ? REQUESTS : NOTIFICATIONS;
  const auto handler = table.find(request.method);
  if (handler == table.end()) {
    // Notifications the server does not know ($/cancelRequest, didSave,
    // ...) need no answer.
    if (isRequest) RespondError(request, METHOD_NOT_FOUND, "unknown method " + request.method);
    return;
  }
  (this->*handler->second)(request);
}

void Server::Respond(const Request& request, const std::string& result) {
  send("{\"jsonrpc\":\"2.0\",\"id\":" + request.id + ",\"result\":" + result + "}");
}

void Server::RespondError(const Request& request, int code, std::string_view message) {
  SendError(request.id, code, message);
}

void Server::SendError(std::string_view id, int code, std::string_view message) {
  JsonOut error;
  error.BeginObject().Key("code").Int(code).Key("message").String(message).EndObject();
  send("{\"jsonrpc\":\"2.0\",\"id\":" + std::string(id) + ",\"error\":" + error.Text() + "}");
}

void Server::PublishDiagnostics() {
  if (!initialized || shutDown || !workspace.Changed()) return;
  std::map<std::string, std::vector<const Diagnostic*>> byFile;
  const std::string policy = workspace.PolicyPlace();
  for (const Diagnostic& diagnostic : workspace.Diagnostics()) {
    byFile[diagnostic.place.file.empty() ? policy : diagnostic.place.file].push_back(&diagnostic);
  }
  // Files whose diagnostics went away get an empty list.
  for (const auto& [path, sent] : published) byFile[path];
  for (const auto& [path, diagnostics] : byFile) {
    if (path.empty()) continue;
    std::string json = DiagnosticsJson(workspace, path, diagnostics);
    auto& sent = published[path];
    if (sent == json) continue;
    JsonOut params;
    params.BeginObject().Key("uri").String(UriOfPath(path)).Key("diagnostics").Raw(json);
    send("{\"jsonrpc\":\"2.0\",\"method\":\"textDocument/publishDiagnostics\",\"params\":" +
         params.EndObject().Text() + "}");
    sent = std::move(json);
  }
  std::erase_if(published, [](const auto& entry) { return entry.second == "[]"; });
}

void Server::Initialize(const Request& request) {
  auto root = StringOf(Member(request.params, "rootUri"));
  if (!root) root = StringOf(Member(request.params, "rootPath"));
  if (!root) return RespondError(request, INVALID_PARAMS, "initialize needs a rootUri");
  workspace.Open(PathOfUri(*root));
  initialized = true;
  Respond(request,
          "{\"capabilities\":{\"positionEncoding\":\"utf-16\","
          "\"textDocumentSync\":{\"openClose\":true,\"change\":2},"
          "\"completionProvider\":{\"triggerCharacters\":[\"\\\"\"]},"
          "\"hoverProvider\":true,\"definitionProvider\":true,\"referencesProvider\":true,"
          "\"documentSymbolProvider\":true,\"workspaceSymbolProvider\":true,"
          "\"renameProvider\":{\"prepareProvider\":true},"
          "\"codeActionProvider\":{\"codeActionKinds\":[\"quickfix\"]}},"
          "\"serverInfo\":{\"name\":\"polclsp\",\"version\":\"1.0.0\"}}");
}

void Server::DidOpen(const Request& request) {
  const auto path = DocumentPath(request.params);
  const auto text = StringOf(Member(Member(request.params, "textDocument"), "text"));
  if (path && text) workspace.SetText(*path, std::string(*text));
}

void Server::DidChange(const Request& request) {
  const auto path = DocumentPath(request.params);
  if (!path) return;
  const Workspace::Source* source = workspace.Find(*path);
  if (source == nullptr) {
    // A document outside the policy may become a source of it.
    Workspace::Source empty;
    if (auto text = ChangedText(empty, Member(request.params, "contentChanges"))) {
      workspace.SetText(*path, std::move(*text));
    }
    return;
  }
  if (auto text = ChangedText(*source, Member(request.params, "contentChanges"))) {
    workspace.SetText(*path, std::move(*text));
  }
}

void Server::DidClose(const Request& request) {
  if (const auto path = DocumentPath(request.params)) workspace.Close(*path);
}

void Server::DidChangeWatchedFiles(const Request& request) {
  const Json* changes = Member(request.params, "changes");
  if (changes == nullptr || !changes->IsArray()) return;
  for (const Json& change : changes->GetArray()) {
    if (const auto uri = StringOf(Member(&change, "uri"))) workspace.Reload(PathOfUri(*uri));
  }
}

namespace {

// The document and offset of a TextDocumentPositionParams.
struct Place {
  std::string path;
  uint32_t offset;
};

std::optional<Place> PlaceOf(Workspace& workspace, const Json* params) {
  const auto path = DocumentPath(params);
  if (!path) return std::nullopt;
  const Workspace::Source* source = workspace.Find(*path);
  if (source == nullptr) return Place{*path, 0};
  const auto offset = OffsetOf(*source, Member(params, "position"));
  if (!offset) return std::nullopt;
  return Place{*path, *offset};
}

}  // namespace

void Server::AnswerAtPlace(const Request& request, PlaceFeature feature) {
  const auto place = PlaceOf(workspace, request.params);
  if (!place) return RespondError(request, INVALID_PARAMS, "expected a document and a position");
  Respond(request, feature(workspace, place->path, place->offset));
}

void Server::Completion(const Request& request) { AnswerAtPlace(request, CompletionJson); }

void Server::Hover(const Request& request) { AnswerAtPlace(request, HoverJson); }

void Server::Definition(const Request& request) { AnswerAtPlace(request, DefinitionJson); }

void Server::References(const Request& request) {
  const auto place = PlaceOf(workspace, request.params);
  if (!place) return RespondError(request, INVALID_PARAMS, "expected a document and a position");
  const Json* declarations = Member(Member(request.params, "context"), "includeDeclaration");
  const bool withDeclarations =
      declarations == nullptr || !declarations->IsBool() || declarations->GetBool();
  Respond(request, ReferencesJson(workspace, place->path, place->offset, withDeclarations));
}

void Server::DocumentSymbol(const Request& request) {
  const auto path = DocumentPath(request.params);
  if (!path) return RespondError(request, INVALID_PARAMS, "expected a document");
  Respond(request, DocumentSymbolJson(workspace, *path));
}

void Server::WorkspaceSymbol(const Request& request) {
  const auto query = StringOf(Member(request.params, "query"));
  Respond(request, WorkspaceSymbolJson(workspace, query.value_or("")));
}

void Server::PrepareRename(const Request& request) { AnswerAtPlace(request, PrepareRenameJson); }

void Server::Rename(const Request& request) {
  const auto place = PlaceOf(workspace, request.params);
  const auto newName = StringOf(Member(request.params, "newName"));
  if (!place || !newName) {
    return RespondError(request, INVALID_PARAMS, "expected a document, a position and a newName");
  }
  std::string error;
  const std::string edit = RenameJson(workspace, place->path, place->offset, *newName, error);
  if (edit.empty()) return RespondError(request, REQUEST_FAILED, error);
  Respond(request, edit);
}

void Server::CodeAction(const Request& request) {
  const auto path = DocumentPath(request.params);
  const Json* range = Member(request.params, "range");
  const Workspace::Source* source = path ? workspace.Find(*path) : nullptr;
  if (!path || range == nullptr) return RespondError(request, INVALID_PARAMS, "expected a range");
  if (source == nullptr) return Respond(request, "[]");
  const auto start = OffsetOf(*source, Member(range, "start"));
  const auto end = OffsetOf(*source, Member(range, "end"));
  if (!start || !end) return RespondError(request, INVALID_PARAMS, "expected a range");
  Respond(request, CodeActionJson(workspace, *path, *start, *end));
}

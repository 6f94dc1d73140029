// lsp_latency SERVER FOLDER [ROUNDS]: how soon the language server gives
// fresh diagnostics after an edit, on the policy in FOLDER.
//
// Starts SERVER (polclsp) on FOLDER, opens its first source, then edits
// it ROUNDS times (default 10): an undeclared name in the place of a
// rule's object, then the text as it was, in turn. For each edit, the time
// from sending it to the diagnostics of that file that show the edit. Prints
// the time of the first load, the median and the slowest edit, the server's
// CPU seconds (user + system) per edit, and its resident memory at the end.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "base/json_string.h"
#include "bench/lsp_client.h"

namespace {

using Clock = std::chrono::steady_clock;

std::string Quoted(const std::string& text) {
  std::string quoted;
  AppendJsonString(quoted, text);
  return quoted;
}

double Since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: lsp_latency SERVER FOLDER [ROUNDS]\n");
    return 2;
  }
  const std::string folder = std::filesystem::absolute(argv[2]).string();
  const int rounds = argc > 3 ? std::stoi(argv[3]) : 10;
  std::vector<std::string> files;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    if (entry.path().extension() == ".json") files.push_back(entry.path().string());
  }
  std::sort(files.begin(), files.end());
  std::stringstream read;
  read << std::ifstream(files.front()).rdbuf();
  const std::string text = read.str();
  const size_t object = text.find("\"object\": \"") + 11;
  std::string broken = text;
  broken.replace(object, text.find('"', object) - object, "undeclared_object_t");
  const std::string uri = Quoted("file://" + files.front());

  LspClient server(argv[1]);
  const Clock::time_point loading = Clock::now();
  server.Send(R"({"jsonrpc":"2.0","id":1,"method":"initialize","params":{"rootUri":)" +
              Quoted("file://" + folder) + "}}");
  server.ReceiveAnswer(1);
  const double load = Since(loading);
  server.Send(R"({"jsonrpc":"2.0","method":"textDocument/didOpen","params":{"textDocument":{"uri":)" +
              uri + R"(,"languageId":"json","version":1,"text":)" + Quoted(text) + "}}}");
  // The diagnostics of the whole policy go out before this answer.
  server.Send(R"({"jsonrpc":"2.0","id":2,"method":"textDocument/documentSymbol","params":{"textDocument":{"uri":)" +
              uri + "}}}");
  server.ReceiveAnswer(2);
  const double cpuBefore = server.CpuSeconds();
  std::vector<double> latencies;
  for (int round = 0; round < rounds; ++round) {
    const bool breaking = round % 2 == 0;
    const Clock::time_point start = Clock::now();
    server.Send(R"({"jsonrpc":"2.0","method":"textDocument/didChange","params":{"textDocument":{"uri":)" +
                uri + R"(,"version":)" + std::to_string(round + 2) +
                R"(},"contentChanges":[{"text":)" + Quoted(breaking ? broken : text) + "}]}}");
    for (std::string message = server.Receive(); !message.empty(); message = server.Receive()) {
      const bool ours = message.find("publishDiagnostics") != std::string::npos &&
                        message.find(uri) != std::string::npos;
      if (ours && (message.find("undeclared_object_t") != std::string::npos) == breaking) break;
    }
    latencies.push_back(Since(start));
  }
  std::sort(latencies.begin(), latencies.end());
  std::printf("%-40s load %.3f s, edit median %.3f s, slowest %.3f s, cpu %.3f s/edit, rss %ld MB\n",
              folder.c_str(), load, latencies[latencies.size() / 2], latencies.back(),
              (server.CpuSeconds() - cpuBefore) / rounds, server.ResidentKilobytes() / 1000);
  return 0;
}

// The language server's message handler on arbitrary message sequences:
// the input's lines are messages, handled in turn after an initialize of a
// small policy ("file:///ROOT" stands for its folder), with the
// diagnostics sent now and then. Whatever the
// messages, the server answers and nothing may crash, hang, leak or read
// out of bounds.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>

#include "tools/polclsp/server.h"

namespace {

std::string g_root;

void Write(const std::string& name, const std::string& text) {
  std::ofstream(g_root + "/" + name) << text;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  char pattern[] = "/tmp/fuzz_lsp.XXXXXX";
  if (mkdtemp(pattern) == nullptr) std::abort();
  g_root = pattern;
  Write("base.json",
        R"({"declarations": {"type": ["init_t", "etc_t"], "attr": ["domain"],)"
        R"( "typeattr": {"init_t": ["domain"]}},)"
        "\n"
        R"( "rules": [{"subject": "domain", "teac": [{"object": "etc_t", "class": "file",)"
        R"( "operation": ["read"]}]}]})");
  Write("web.json", R"({"declarations": {"type": ["web_t"], "require": ["etc_t"]}})");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  size_t sent = 0;
  Server server([&sent](const std::string& body) { sent += body.size(); });
  std::string initialize = R"({"jsonrpc":"2.0","id":0,"method":"initialize","params":{"rootUri":"file://)" +
                           g_root + R"("}})";
  server.Handle(initialize);
  // "file:///ROOT" in the input (the seeds have it) stands for the policy.
  std::string input(reinterpret_cast<const char*>(data), size);
  for (size_t at = 0; (at = input.find("file:///ROOT", at)) != std::string::npos;) {
    input.replace(at, 12, "file://" + g_root);
    at += 7 + g_root.size();
  }
  for (size_t start = 0; start <= input.size() && !server.Exited();) {
    size_t end = input.find('\n', start);
    if (end == std::string::npos) end = input.size();
    std::string message = input.substr(start, end - start);
    server.Handle(message);
    if (message.size() % 3 == 0) server.Idle();
    start = end + 1;
  }
  server.Idle();
  return 0;
}

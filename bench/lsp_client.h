// A language server client for the tests and the benchmarks: starts a
// server with its standard input and output on pipes, sends it framed
// messages and reads its messages back.
#pragma once

#include <sys/types.h>

#include <string>

class LspClient {
 public:
  explicit LspClient(const std::string& server);
  ~LspClient();  // closes the server's input and waits for it
  LspClient(const LspClient&) = delete;
  LspClient& operator=(const LspClient&) = delete;

  void Send(const std::string& body);
  // The next message of the server, or "" when it closed its output.
  std::string Receive();
  // Messages up to and with the answer to the request `id`.
  std::string ReceiveAnswer(int id);

  pid_t Pid() const { return pid; }
  // The server's resident memory in kB, and its user plus system CPU
  // seconds, from /proc.
  long ResidentKilobytes() const;
  double CpuSeconds() const;

 private:
  pid_t pid = -1;
  int input = -1;   // the server's standard input
  int output = -1;  // its standard output
  std::string buffer;
};

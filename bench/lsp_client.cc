#include "bench/lsp_client.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

LspClient::LspClient(const std::string& server) {
  int toServer[2];
  int fromServer[2];
  if (pipe(toServer) != 0 || pipe(fromServer) != 0) std::abort();
  pid = fork();
  if (pid == 0) {
    dup2(toServer[0], STDIN_FILENO);
    dup2(fromServer[1], STDOUT_FILENO);
    close(toServer[1]);
    close(fromServer[0]);
    execl(server.c_str(), server.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  close(toServer[0]);
  close(fromServer[1]);
  input = toServer[1];
  output = fromServer[0];
  signal(SIGPIPE, SIG_IGN);
}

LspClient::~LspClient() {
  close(input);
  close(output);
  int status = 0;
  waitpid(pid, &status, 0);
}

void LspClient::Send(const std::string& body) {
  const std::string message = "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
  for (size_t written = 0; written < message.size();) {
    const ssize_t put = write(input, message.data() + written, message.size() - written);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return;
    written += static_cast<size_t>(put);
  }
}

std::string LspClient::Receive() {
  for (;;) {
    const size_t headerEnd = buffer.find("\r\n\r\n");
    if (headerEnd != std::string::npos) {
      const size_t length = std::stoul(buffer.substr(buffer.find(':') + 1));
      if (buffer.size() >= headerEnd + 4 + length) {
        std::string body = buffer.substr(headerEnd + 4, length);
        buffer.erase(0, headerEnd + 4 + length);
        return body;
      }
    }
    char chunk[65536];
    const ssize_t got = read(output, chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return "";
    buffer.append(chunk, static_cast<size_t>(got));
  }
}

std::string LspClient::ReceiveAnswer(int id) {
  const std::string mark = "\"id\":" + std::to_string(id) + ",";
  std::string messages;
  for (std::string message = Receive(); !message.empty(); message = Receive()) {
    messages += message + "\n";
    if (message.find(mark) != std::string::npos) break;
  }
  return messages;
}

long LspClient::ResidentKilobytes() const {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  }
  return 0;
}

double LspClient::CpuSeconds() const {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  std::istringstream fields(text.substr(text.rfind(')') + 2));
  std::string field;
  unsigned long user = 0;
  unsigned long system = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i == 14) user = std::stoul(field);
    if (i == 15) system = std::stoul(field);
  }
  return static_cast<double>(user + system) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// polclsp: the language server of VARO policy sources, over standard input
// and output.
#include <unistd.h>

#include <cstdio>
#include <string>

#include "tools/polclsp/message_stream.h"
#include "tools/polclsp/server.h"

int main(int argc, char**) {
  if (argc > 1) {
    std::fputs(
        "Usage: polclsp\n(a language server: its client talks to it on standard input and "
        "output)\n",
        stderr);
    return 2;
  }
  MessageReader reader(STDIN_FILENO);
  Server server([](const std::string& body) { WriteMessage(STDOUT_FILENO, body); });
  for (std::string body; !server.Exited();) {
    switch (reader.Next(body)) {
      case MessageReader::Result::MESSAGE:
        server.Handle(body);
        break;
      case MessageReader::Result::BAD_HEADER:
        server.BadMessage("a header without a usable Content-Length");
        break;
      case MessageReader::Result::TOO_LARGE:
        server.BadMessage("a message larger than the server reads");
        break;
      case MessageReader::Result::END:
        server.Idle();
        return server.ExitStatus();
    }
    if (!reader.InputWaiting()) server.Idle();
  }
  return server.ExitStatus();
}

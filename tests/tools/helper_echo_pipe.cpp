// A library pipe server in a process of its own, for the tool's tests: a
// child started by the test would otherwise inherit the test's server pipe
// handles (they are inheritable) and keep every connection open.
//   helper_echo_pipe PART2 PART3 [silent | board BOARD BLOCK]
// Echoes every message (or answers nothing with "silent") until it is ended.
// With "board" it answers request 13 as the service does for one running
// board: its block's size and name for the name BOARD, nothing for others.
#include <cstring>
#include <string>

#include "support/pipe_server.h"

int main(int argc, char** argv) {
  if (argc < 3) return 1;
  CServerPipe pipe("pelorintest", argv[1], argv[2]);
  struct Echo {
    bool silent;
    std::string board, block;
    void OnConnect(CServerPipeConnection* c) {
      c->SetOnMessage(this, &PipeMessageMember<Echo, &Echo::OnMessage>);
    }
    void OnMessage(CServerPipeConnection* c, const CBufferBase<unsigned char>& m) {
      const std::string body(reinterpret_cast<const char*>(m.GetData()), m.GetLength());
      if (!board.empty() && body.size() >= 2 && body[0] == '\x5A' && body[1] == '\x0D') {
        std::string reply = "\x5A\x0D";
        if (body.substr(2) == board) reply += std::string("\x00\x44\x00\x00", 4) + block;
        c->SetMessage(reinterpret_cast<const unsigned char*>(reply.data()), uint32_t(reply.size()));
      } else if (!silent) {
        c->SetMessage(m);
      }
    }
  } echo{argc > 3 && std::strcmp(argv[3], "silent") == 0, argc > 5 ? argv[4] : "", argc > 5 ? argv[5] : ""};
  pipe.SetConnectTarget(&echo);
  pipe.SetOnConnect(&PipeMember<Echo, &Echo::OnConnect>);
  (void)pipe.Create(2);
  for (;;) ::Sleep(1000);
}

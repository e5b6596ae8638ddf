// A library pipe server in a process of its own, for the tool's tests: a
// child started by the test would otherwise inherit the test's server pipe
// handles (they are inheritable) and keep every connection open.
//   helper_echo_pipe PART2 PART3 [silent]
// Echoes every message (or answers nothing with "silent") until it is ended.
#include <cstring>

#include "support/pipe_server.h"

int main(int argc, char** argv) {
  if (argc < 3) return 1;
  CServerPipe pipe("pelorintest", argv[1], argv[2]);
  bool silent = argc > 3 && std::strcmp(argv[3], "silent") == 0;
  struct Echo {
    bool silent;
    void OnConnect(CServerPipeConnection* c) {
      c->SetOnMessage(this, &PipeMessageMember<Echo, &Echo::OnMessage>);
    }
    void OnMessage(CServerPipeConnection* c, const CBufferBase<unsigned char>& m) {
      if (!silent) c->SetMessage(m);
    }
  } echo{silent};
  pipe.SetConnectTarget(&echo);
  pipe.SetOnConnect(&PipeMember<Echo, &Echo::OnConnect>);
  pipe.Create(2);
  for (;;) ::Sleep(1000);
}

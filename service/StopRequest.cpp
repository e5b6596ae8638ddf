#include "service/StopRequest.h"

#include "tvlib/ipc/message.h"
#include "tvlib/ipc/pipe_io.h"
#include "tvlib/scoped_handle.h"

const char kControlPipeName[] = "\\\\.\\pipe\\tarvel\\pelorin\\socket";

namespace {

// Between two accepts no instance listens and the open answers "busy" (or,
// from a server that is just starting, "no such pipe"): the request waits for
// an instance this long before it gives up.
const DWORD kOpenBoundMs = 5000;
// A server that does not take a write in this time is not taking the request.
const DWORD kWriteBoundMs = 2000;

bool WriteWhole(HANDLE pipe, OVERLAPPED* ov, const unsigned char* bytes, DWORD n) {
  DWORD put = 0;
  return PipeTransfer(kPipeWrite, pipe, ov, const_cast<unsigned char*>(bytes), n, nullptr, kWriteBoundMs,
                      &put) == ERROR_SUCCESS &&
         put == n;
}

}  // namespace

void SendStopRequest() { SendStopRequestTo(kControlPipeName); }

void SendStopRequestTo(const char* pipeName) {
  CMessageClient request(20);
  DWORD error = 0;
  ScopedFileHandle pipe(OpenPipeClient(pipeName, kOpenBoundMs, &error));
  if (!pipe.IsValid()) return;
  ScopedKernelHandle event(NewPipeEvent());
  if (!event.IsValid()) return;
  OVERLAPPED ov = {};
  ov.hEvent = event.Get();
  uint32_t n = request.GetLength();
  unsigned char length[4];
  EncodeFrameLength(n, length);
  // The body only after the whole length: the server reads them as two messages.
  if (WriteWhole(pipe.Get(), &ov, length, 4)) WriteWhole(pipe.Get(), &ov, request.GetData(), n);
}

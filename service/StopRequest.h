// The client side of request 20: asks a running instance's server thread to
// stop through the control pipe. Kept apart from the server so that client
// tools link it alone.
#pragma once

// The control pipe of the service, "\\.\pipe\tarvel\pelorin\socket".
extern const char kControlPipeName[];

// Sends request 20 on the control pipe; gives up when no instance listens
// within its bound. Nothing is read back and nothing is reported.
void SendStopRequest();
// The same on another pipe name.
void SendStopRequestTo(const char* pipeName);

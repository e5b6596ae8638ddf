// What pelclient's subcommands share: the options, the exit codes, the hex
// forms and the usage message. main.cpp holds the pipe commands and the
// command table; BlockCommands.cpp the shared-memory and process commands.
#pragma once

#include <string>
#include <vector>

#include "tools/pelclient/PipeClient.h"
#include "service/StopRequest.h"
#include "tvlib/win.h"

enum {
  kExitDone = 0,
  kExitUsage = 1,       // bad arguments or a bad block name
  kExitNoPipe = 2,      // the pipe cannot be opened
  kExitIncomplete = 3,  // the server closed or timed out before the replies, or a reply not framed
  kExitNotFound = 4,    // no such block, board or process (exists: the block is absent)
  kExitRange = 5,       // a range or value beyond the block; nothing written
};

struct Options {
  std::string pipe = kControlPipeName;
  int replies = 1;
  bool untilClose = false;
  DWORD timeoutMs = CPipeClient::kDefaultTimeoutMs;
  DWORD pieces = CPipeClient::kDefaultPieceSize;
  int repeat = 1;
  DWORD holdMs = 0;
  bool messages = false;
  bool decode = false;
};

typedef int (*CommandFn)(const Options& options, const std::vector<std::string>& args);

// Prints the problem (when given) and the usage on stderr; kExitUsage.
int Usage(const char* problem);
// Pairs of hex digits, blanks allowed anywhere.
bool ParseHex(const std::string& text, std::string& bytes);
// "01 02 FF"
std::string Hex(const std::string& bytes);
// Text as it stands, bytes outside printable ASCII (and \ and ") as \xNN.
std::string Printable(const std::string& text);

int RunShmDump(const Options& options, const std::vector<std::string>& args);
int RunShmSet(const Options& options, const std::vector<std::string>& args);
int RunShmRead(const Options& options, const std::vector<std::string>& args);
int RunShmWrite(const Options& options, const std::vector<std::string>& args);
int RunShmSample(const Options& options, const std::vector<std::string>& args);
int RunHold(const Options& options, const std::vector<std::string>& args);
int RunExists(const Options& options, const std::vector<std::string>& args);
int RunProcStats(const Options& options, const std::vector<std::string>& args);
int RunBoardStatus(const Options& options, const std::vector<std::string>& args);
int RunChannelSet(const Options& options, const std::vector<std::string>& args);

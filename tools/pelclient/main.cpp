// pelclient: the one client tool of the service, for operators and tests.
// Options come first, then one subcommand and its arguments.
//
// Exit codes: Commands.h.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tools/pelclient/Commands.h"

namespace {

struct Command {
  const char* name;
  const char* usage;
  CommandFn run;
};

int RunPipe(const Options& options, const std::vector<std::string>& args);
int RunRaw(const Options& options, const std::vector<std::string>& args);
int RunStop(const Options& options, const std::vector<std::string>& args);

const Command kCommands[] = {
    {"pipe", "pipe HEX          send one request body, framed, and print the replies", RunPipe},
    {"raw", "raw HEX|- ...     write each argument as one unframed pipe message (\"-\" = 0 bytes)", RunRaw},
    {"stop", "stop              ask the server to stop (request 20)", RunStop},
    {"shm-dump", "shm-dump NAME     print a board block's header, status and settings records", RunShmDump},
    {"shm-set", "shm-set NAME OFFSET VALUE   write one aligned 32-bit word", RunShmSet},
    {"shm-read", "shm-read NAME OFFSET LENGTH  print bytes in hex", RunShmRead},
    {"shm-write", "shm-write NAME OFFSET HEX    write bytes", RunShmWrite},
    {"shm-sample", "shm-sample NAME OFFSET COUNT MS  print a 16-bit word COUNT times, MS apart",
     RunShmSample},
    {"hold", "hold NAME SECONDS keep a block open", RunHold},
    {"exists", "exists NAME       whether a block exists (exit 0) or not (exit 4)", RunExists},
    {"proc-stats", "proc-stats PID    a process's handle count, private bytes and threads", RunProcStats},
    {"board-status", "board-status SERIAL  a running board's block (request 13), one line per channel",
     RunBoardStatus},
    {"channel-set", "channel-set SERIAL CH FLAGS INDEX  a channel's settings record (CH from 1)",
     RunChannelSet},
};

}  // namespace

int Usage(const char* problem) {
  if (problem != nullptr) std::fprintf(stderr, "pelclient: %s\n", problem);
  std::fprintf(stderr, "usage: pelclient [options] COMMAND ...\n");
  for (const Command& c : kCommands) std::fprintf(stderr, "  pelclient [options] %s\n", c.usage);
  std::fprintf(stderr,
               "options:\n"
               "  --pipe NAME      full pipe name (default %s)\n"
               "  --replies N      framed replies to wait for (default 1; 0 for requests 11, 19, 20)\n"
               "  --until-close    print replies until the server closes the connection\n"
               "  --timeout MS     for the open and for each reply (default 5000)\n"
               "  --pieces N       body piece size (default 1024)\n"
               "  --repeat N       send the body N times before reading (expects N x replies)\n"
               "  --hold MS        stay connected MS after the last reply, then close\n"
               "  --messages       also print every pipe message as it arrives\n"
               "  --decode         after a reply to request 12 or 15, print it as text\n",
               kControlPipeName);
  std::fprintf(
      stderr,
      "NAME is a block's name without \"Global\\TARVEL_\"; SERIAL is \"SN0000ABCD\" or its hex digits.\n"
      "exit codes: 0 done, 1 usage, 2 no pipe, 3 replies incomplete, 4 not found, 5 beyond the block\n");
  return kExitUsage;
}

bool ParseHex(const std::string& text, std::string& bytes) {
  bytes.clear();
  int high = -1;
  for (char c : text) {
    if (c == ' ' || c == '\t') continue;
    int v;
    if (c >= '0' && c <= '9')
      v = c - '0';
    else if (c >= 'a' && c <= 'f')
      v = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F')
      v = c - 'A' + 10;
    else
      return false;
    if (high < 0) {
      high = v;
    } else {
      bytes += static_cast<char>(high << 4 | v);
      high = -1;
    }
  }
  return high < 0;
}

std::string Hex(const std::string& bytes) {
  std::string out;
  char two[4];
  for (size_t i = 0; i < bytes.size(); ++i) {
    std::snprintf(two, sizeof two, i == 0 ? "%02X" : " %02X", static_cast<unsigned char>(bytes[i]));
    out += two;
  }
  return out;
}

namespace {

bool ParseCount(const char* text, long maximum, long& value) {
  char* end = nullptr;
  value = std::strtol(text, &end, 10);
  return end != text && *end == '\0' && value >= 0 && value <= maximum;
}

void PrintBytes(const char* what, const std::string& bytes) {
  if (bytes.empty())
    std::printf("%s 0:\n", what);
  else
    std::printf("%s %u: %s\n", what, static_cast<unsigned>(bytes.size()), Hex(bytes).c_str());
  std::fflush(stdout);
}

// The reply of a request whose payload an operator reads as text: "product
// TEXT" for request 12, "pid N" for request 15; empty for any other reply.
std::string DecodeReply(const std::string& body) {
  if (body.size() < 2 || body[0] != '\x5A') return std::string();
  const std::string payload = body.substr(2);
  if (body[1] == 12) return "product " + Printable(payload);
  if (body[1] == 15 && payload.size() == 4) {
    const unsigned char* b = reinterpret_cast<const unsigned char*>(payload.data());
    return "pid " + std::to_string(b[0] | b[1] << 8 | b[2] << 16 | static_cast<unsigned>(b[3]) << 24);
  }
  return std::string();
}

// Opens, sends what `send` writes `repeat` times, then reads the replies.
template <typename Send>
int Converse(const Options& options, Send send) {
  CPipeClient client;
  DWORD error = client.Open(options.pipe, options.timeoutMs);
  if (error != ERROR_SUCCESS) {
    std::fprintf(stderr, "cannot open %s: error %lu\n", options.pipe.c_str(), error);
    return kExitNoPipe;
  }
  for (int i = 0; i < options.repeat && error == ERROR_SUCCESS; ++i) error = send(client);
  if (error != ERROR_SUCCESS && error != ERROR_NO_DATA && error != ERROR_BROKEN_PIPE) {
    std::fprintf(stderr, "write failed: error %lu\n", error);
    return kExitIncomplete;
  }
  auto onMessage = [&](const std::string& m) {
    if (options.messages) PrintBytes("msg", m);
  };
  long expected = static_cast<long>(options.replies) * options.repeat;
  for (long got = 0; error == ERROR_SUCCESS && (options.untilClose || got < expected); ++got) {
    std::string body;
    error = client.ReadReply(body, options.timeoutMs, onMessage);
    if (error != ERROR_SUCCESS) break;
    PrintBytes("reply", body);
    // A line of its own after the bytes: scripts that read the reply lines see them unchanged.
    const std::string decoded = options.decode ? DecodeReply(body) : std::string();
    if (!decoded.empty()) {
      std::printf("%s\n", decoded.c_str());
      std::fflush(stdout);
    }
  }
  if (error == ERROR_BROKEN_PIPE || error == ERROR_NO_DATA || error == ERROR_PIPE_NOT_CONNECTED) {
    std::printf("closed\n");
    return options.untilClose ? kExitDone : kExitIncomplete;
  }
  if (error == ERROR_TIMEOUT) {
    std::printf("timeout\n");
    return kExitIncomplete;
  }
  if (error == ERROR_INVALID_DATA) {
    std::fprintf(stderr, "reply not framed\n");
    return kExitIncomplete;
  }
  if (error != ERROR_SUCCESS) {
    std::fprintf(stderr, "read failed: error %lu\n", error);
    return kExitIncomplete;
  }
  if (options.holdMs != 0) ::Sleep(options.holdMs);
  return kExitDone;
}

int RunPipe(const Options& options, const std::vector<std::string>& args) {
  std::string body;
  if (args.size() != 1) return Usage("pipe takes one HEX body");
  if (!ParseHex(args[0], body)) return Usage("HEX: pairs of hex digits");
  return Converse(options,
                  [&](CPipeClient& c) { return c.SendFramed(body, options.pieces, options.timeoutMs); });
}

int RunRaw(const Options& options, const std::vector<std::string>& args) {
  if (args.empty()) return Usage("raw takes one or more HEX|- messages");
  std::vector<std::string> messages;
  for (const std::string& a : args) {
    std::string bytes;
    if (a != "-" && !ParseHex(a, bytes)) return Usage("HEX: pairs of hex digits");
    messages.push_back(bytes);
  }
  return Converse(options, [&](CPipeClient& c) {
    DWORD error = ERROR_SUCCESS;
    for (size_t i = 0; i < messages.size() && error == ERROR_SUCCESS; ++i)
      error = c.WriteMessage(messages[i], options.timeoutMs);
    return error;
  });
}

int RunStop(const Options& options, const std::vector<std::string>& args) {
  if (!args.empty()) return Usage("stop takes no arguments");
  SendStopRequestTo(options.pipe.c_str());
  return kExitDone;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  int i = 1;
  for (; i < argc && std::strncmp(argv[i], "--", 2) == 0; ++i) {
    std::string flag = argv[i];
    long value = 0;
    if (flag == "--until-close") {
      options.untilClose = true;
    } else if (flag == "--messages") {
      options.messages = true;
    } else if (flag == "--decode") {
      options.decode = true;
    } else if (i + 1 >= argc) {
      return Usage(("missing value for " + flag).c_str());
    } else if (flag == "--pipe") {
      options.pipe = argv[++i];
    } else if (!ParseCount(argv[++i], 0x7FFFFFFF, value)) {
      return Usage(("bad value for " + flag).c_str());
    } else if (flag == "--replies") {
      options.replies = static_cast<int>(value);
    } else if (flag == "--timeout") {
      options.timeoutMs = static_cast<DWORD>(value);
    } else if (flag == "--pieces" && value > 0) {
      options.pieces = static_cast<DWORD>(value);
    } else if (flag == "--repeat" && value > 0) {
      options.repeat = static_cast<int>(value);
    } else if (flag == "--hold") {
      options.holdMs = static_cast<DWORD>(value);
    } else {
      return Usage(("unknown option or bad value: " + flag).c_str());
    }
  }
  if (i >= argc) return Usage(nullptr);
  std::vector<std::string> args(argv + i + 1, argv + argc);
  for (const Command& c : kCommands)
    if (std::strcmp(argv[i], c.name) == 0) return c.run(options, args);
  return Usage((std::string("unknown command ") + argv[i]).c_str());
}

// pelclient's shared-memory and process commands. Every block is opened by
// name and read or written directly, without its mutex, as the service does;
// board blocks are decoded with the block layout of BoardBlock.h.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tools/pelclient/BlockView.h"
#include "service/BoardBlock.h"
#include "tools/pelclient/Commands.h"
#include "tools/pelclient/ProcStats.h"
#include "tvlib/ipc/shared_memory.h"

namespace {

// Decimal, or hex after "0x"; never octal, so that "010" is ten.
bool ParseNumber(const std::string& text, long long lo, long long hi, long long* value) {
  const char* p = text.c_str();
  const bool negative = *p == '-';
  if (negative) ++p;
  int base = 10;
  if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
    base = 16;
    p += 2;
  }
  if (*p == '\0' || *p == '-' || *p == '+' || *p == ' ') return false;
  char* end = nullptr;
  const unsigned long long magnitude = std::strtoull(p, &end, base);
  if (*end != '\0' || magnitude > (1ull << 62)) return false;
  const long long v = negative ? -static_cast<long long>(magnitude) : static_cast<long long>(magnitude);
  if (v < lo || v > hi) return false;
  *value = v;
  return true;
}

bool ParseArgument(const std::string& text, const char* what, long long lo, long long hi, long long* value) {
  if (ParseNumber(text, lo, hi, value)) return true;
  std::fprintf(stderr, "pelclient: bad %s: %s (%lld to %lld)\n", what, text.c_str(), lo, hi);
  return false;
}

const long long kWordMin = -0x80000000ll;
const long long kWordMax = 0xFFFFFFFFll;

int OpenBlock(const std::string& name, bool write, CBlockView& view) {
  std::string why;
  if (!ValidBlockName(name, &why)) return Usage(why.c_str());
  const DWORD error = view.Open(name, write);
  if (error == ERROR_SUCCESS) return kExitDone;
  std::fprintf(stderr, "pelclient: cannot open block %s: error %lu\n",
               CSharedMemoryBuffer::MappingObjectName(name).c_str(), error);
  return kExitNotFound;
}

int BeyondBlock(const std::string& name, long long offset, long long length, uint32_t size, bool write) {
  std::fprintf(stderr, "pelclient: %lld bytes at offset 0x%llX lie beyond block %s of %u bytes%s\n", length,
               offset, name.c_str(), size, write ? "; nothing written" : "");
  return kExitRange;
}

// Opens NAME for one aligned word of `width` bytes at offset.
int OpenWord(const std::string& name, long long offset, uint32_t width, bool write, CBlockView& view) {
  if (offset % width != 0) {
    std::fprintf(stderr, "pelclient: offset 0x%llX is not %u-aligned%s\n", offset, width,
                 write ? "; nothing written" : "");
    return kExitRange;
  }
  if (int code = OpenBlock(name, write, view)) return code;
  if (!RangeWithin(offset, width, view.Size())) return BeyondBlock(name, offset, width, view.Size(), write);
  return kExitDone;
}

int NotABoardBlock(const std::string& name, uint32_t size) {
  std::fprintf(stderr, "pelclient: block %s holds %u bytes, less than a board block's %u\n", name.c_str(),
               size, kBoardBlockSize);
  return kExitRange;
}

void PrintHeader(const uint8_t* block) {
  const char* version = reinterpret_cast<const char*>(block + kBlockVersionOffset);
  std::printf("channels %u\n", LoadU32(block + kBlockChannelCountOffset));
  std::printf("version %s\n", Printable(std::string(version, strnlen(version, kBlockVersionSize))).c_str());
  std::printf("latency_word %u\n", LoadU16(block + kBlockLatencyWordOffset));
  std::printf("heartbeat_word 0x%04X\n", LoadU16(block + kBlockHeartbeatWordOffset));
  std::printf("latency_mode %d\n", ReadLatencyMode(block));
}

const char* StatusName(uint8_t status) {
  const char* name = ChannelStatusName(status);
  return name != nullptr ? name : "?";
}

// SN and the serial as eight upper-case hex digits, from "SN0000ABCD" or "abcd".
bool BoardName(const std::string& text, std::string* name) {
  std::string digits = text;
  if (digits.size() > 2 && (digits.compare(0, 2, "SN") == 0 || digits.compare(0, 2, "sn") == 0))
    digits = digits.substr(2);
  long long serial = 0;
  if (digits.empty() || digits.size() > 8 ||
      digits.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos ||
      !ParseNumber("0x" + digits, 0, kWordMax, &serial)) {
    std::fprintf(stderr, "pelclient: bad board serial: %s\n", text.c_str());
    return false;
  }
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "SN%08X", static_cast<unsigned>(serial));
  *name = buffer;
  return true;
}

// The block of a running board, asked of the server by request 13.
int FindBoardBlock(const Options& options, const std::string& board, std::string* block) {
  CPipeClient client;
  DWORD error = client.Open(options.pipe, options.timeoutMs);
  if (error != ERROR_SUCCESS) {
    std::fprintf(stderr, "pelclient: cannot open %s: error %lu\n", options.pipe.c_str(), error);
    return kExitNoPipe;
  }
  std::string reply;
  error = client.SendFramed(std::string("\x5A\x0D") + board, options.pieces, options.timeoutMs);
  if (error == ERROR_SUCCESS) error = client.ReadReply(reply, options.timeoutMs);
  if (error != ERROR_SUCCESS) {
    std::fprintf(stderr, "pelclient: no answer to request 13: error %lu\n", error);
    return kExitIncomplete;
  }
  if (reply.size() == 2 && reply[0] == '\x5A' && reply[1] == '\x0D') {
    std::fprintf(stderr, "pelclient: no running board %s with a block\n", board.c_str());
    return kExitNotFound;
  }
  if (reply.size() < 7 || reply[0] != '\x5A' || reply[1] != '\x0D') {
    std::fprintf(stderr, "pelclient: unexpected answer to request 13: %s\n", Hex(reply).c_str());
    return kExitIncomplete;
  }
  const unsigned char* size = reinterpret_cast<const unsigned char*>(reply.data() + 2);
  *block = reply.substr(6);
  std::printf("block %s %u\n", Printable(*block).c_str(),
              size[0] | size[1] << 8 | size[2] << 16 | static_cast<unsigned>(size[3]) << 24);
  return kExitDone;
}

}  // namespace

std::string Printable(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    if (c >= 0x20 && c < 0x7F && c != '\\' && c != '"') {
      out += static_cast<char>(c);
    } else {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
      out += escaped;
    }
  }
  return out;
}

int RunShmDump(const Options&, const std::vector<std::string>& args) {
  if (args.size() != 1) return Usage("shm-dump takes NAME");
  CBlockView view;
  if (int code = OpenBlock(args[0], false, view)) return code;
  if (view.Size() < kBoardBlockSize) return NotABoardBlock(args[0], view.Size());
  const uint8_t* block = view.Data();
  PrintHeader(block);
  for (int c = 0; c < kBlockMaxChannels; ++c) {
    const StatusRecordView status = ReadStatusRecord(block, c);
    const SettingsRecord settings = ReadSettingsRecord(block, c);
    std::printf("ch%d status %u %s\n", c + 1, status.status, StatusName(status.status));
    std::printf("ch%d bits 0x%02X\n", c + 1, status.bits);
    std::printf("ch%d names %d\n", c + 1, status.nameCount);
    std::printf("ch%d id %u\n", c + 1, status.watermarkId);
    std::printf("ch%d selected %s\n", c + 1, Printable(status.selected).c_str());
    std::printf("ch%d settings flags=%d channel=%d\n", c + 1, settings.flags, settings.watermarkingChannel);
  }
  return kExitDone;
}

int RunShmSet(const Options&, const std::vector<std::string>& args) {
  if (args.size() != 3) return Usage("shm-set takes NAME OFFSET VALUE");
  long long offset = 0, value = 0;
  if (!ParseArgument(args[1], "offset", 0, kWordMax, &offset) ||
      !ParseArgument(args[2], "value", kWordMin, kWordMax, &value))
    return kExitUsage;
  CBlockView view;
  if (int code = OpenWord(args[0], offset, 4, true, view)) return code;
  uint8_t* at = view.Data() + offset;
  const uint32_t old = LoadU32(at);
  StoreU32(at, static_cast<uint32_t>(value));
  std::printf("0x%llX: 0x%08X -> 0x%08X\n", offset, old, static_cast<uint32_t>(value));
  return kExitDone;
}

int RunShmRead(const Options&, const std::vector<std::string>& args) {
  if (args.size() != 3) return Usage("shm-read takes NAME OFFSET LENGTH");
  long long offset = 0, length = 0;
  if (!ParseArgument(args[1], "offset", 0, kWordMax, &offset) ||
      !ParseArgument(args[2], "length", 0, kWordMax, &length))
    return kExitUsage;
  CBlockView view;
  if (int code = OpenBlock(args[0], false, view)) return code;
  if (!RangeWithin(offset, length, view.Size()))
    return BeyondBlock(args[0], offset, length, view.Size(), false);
  std::string bytes(reinterpret_cast<const char*>(view.Data() + offset), static_cast<size_t>(length));
  std::printf("%s\n", Hex(bytes).c_str());
  return kExitDone;
}

int RunShmWrite(const Options&, const std::vector<std::string>& args) {
  if (args.size() != 3) return Usage("shm-write takes NAME OFFSET HEX");
  long long offset = 0;
  std::string bytes;
  if (!ParseArgument(args[1], "offset", 0, kWordMax, &offset)) return kExitUsage;
  if (!ParseHex(args[2], bytes)) return Usage("HEX: pairs of hex digits");
  CBlockView view;
  if (int code = OpenBlock(args[0], true, view)) return code;
  if (!RangeWithin(offset, bytes.size(), view.Size()))
    return BeyondBlock(args[0], offset, static_cast<long long>(bytes.size()), view.Size(), true);
  std::memcpy(view.Data() + offset, bytes.data(), bytes.size());
  std::printf("wrote %u bytes at 0x%llX\n", static_cast<unsigned>(bytes.size()), offset);
  return kExitDone;
}

int RunShmSample(const Options&, const std::vector<std::string>& args) {
  if (args.size() != 4) return Usage("shm-sample takes NAME OFFSET COUNT MS");
  long long offset = 0, count = 0, ms = 0;
  if (!ParseArgument(args[1], "offset", 0, kWordMax, &offset) ||
      !ParseArgument(args[2], "count", 1, 100000000, &count) ||
      !ParseArgument(args[3], "ms", 0, 3600000, &ms))
    return kExitUsage;
  CBlockView view;
  if (int code = OpenWord(args[0], offset, 2, false, view)) return code;
  for (long long i = 0; i < count; ++i) {
    if (i != 0) ::Sleep(static_cast<DWORD>(ms));
    std::printf("%u\n", LoadU16(view.Data() + offset));
    std::fflush(stdout);
  }
  return kExitDone;
}

int RunHold(const Options&, const std::vector<std::string>& args) {
  if (args.size() != 2) return Usage("hold takes NAME SECONDS");
  long long seconds = 0;
  if (!ParseArgument(args[1], "seconds", 0, 4000000, &seconds)) return kExitUsage;
  CBlockView view;
  if (int code = OpenBlock(args[0], false, view)) return code;
  std::printf("holding %s\n", args[0].c_str());
  std::fflush(stdout);
  ::Sleep(static_cast<DWORD>(seconds * 1000));
  return kExitDone;
}

int RunExists(const Options&, const std::vector<std::string>& args) {
  if (args.size() != 1) return Usage("exists takes NAME");
  std::string why;
  if (!ValidBlockName(args[0], &why)) return Usage(why.c_str());
  CBlockView view;
  const DWORD error = view.Open(args[0], false);
  // A block that refuses us still exists.
  if (error == ERROR_SUCCESS || error == ERROR_ACCESS_DENIED) {
    std::printf("exists\n");
    return kExitDone;
  }
  if (error != ERROR_FILE_NOT_FOUND) std::fprintf(stderr, "pelclient: open failed: error %lu\n", error);
  std::printf("absent\n");
  return kExitNotFound;
}

int RunProcStats(const Options&, const std::vector<std::string>& args) {
  if (args.size() != 1) return Usage("proc-stats takes PID");
  long long pid = 0;
  if (!ParseArgument(args[0], "pid", 1, kWordMax, &pid)) return kExitUsage;
  ProcStats stats;
  const DWORD error = QueryProcStats(static_cast<DWORD>(pid), &stats);
  if (error != ERROR_SUCCESS) {
    std::fprintf(stderr, "pelclient: cannot query process %lld: error %lu\n", pid, error);
    return kExitNotFound;
  }
  std::printf(
      "handles %llu\nprivate_bytes %llu\nthreads %llu\n", static_cast<unsigned long long>(stats.handles),
      static_cast<unsigned long long>(stats.privateBytes), static_cast<unsigned long long>(stats.threads));
  return kExitDone;
}

int RunBoardStatus(const Options& options, const std::vector<std::string>& args) {
  if (args.size() != 1) return Usage("board-status takes SERIAL");
  std::string board, name;
  if (!BoardName(args[0], &board)) return kExitUsage;
  if (int code = FindBoardBlock(options, board, &name)) return code;
  CBlockView view;
  if (int code = OpenBlock(name, false, view)) return code;
  if (view.Size() < kBoardBlockSize) return NotABoardBlock(name, view.Size());
  const uint8_t* block = view.Data();
  PrintHeader(block);
  const uint32_t channels = LoadU32(block + kBlockChannelCountOffset);
  for (int c = 0; c < kBlockMaxChannels && uint32_t(c) < channels; ++c) {
    const StatusRecordView status = ReadStatusRecord(block, c);
    const SettingsRecord settings = ReadSettingsRecord(block, c);
    std::printf("ch%d status=%u \"%s\" bits=0x%02X names=%d id=%u flags=%d channel=%d selected=\"%s\"\n",
                c + 1, status.status, StatusName(status.status), status.bits, status.nameCount,
                status.watermarkId, settings.flags, settings.watermarkingChannel,
                Printable(status.selected).c_str());
  }
  return kExitDone;
}

int RunChannelSet(const Options& options, const std::vector<std::string>& args) {
  if (args.size() != 4) return Usage("channel-set takes SERIAL CH FLAGS INDEX");
  std::string board, name;
  long long channel = 0, flags = 0, index = 0;
  if (!BoardName(args[0], &board) || !ParseArgument(args[1], "channel", 1, kBlockMaxChannels, &channel) ||
      !ParseArgument(args[2], "flags", kWordMin, kWordMax, &flags) ||
      !ParseArgument(args[3], "index", kWordMin, kWordMax, &index))
    return kExitUsage;
  if (int code = FindBoardBlock(options, board, &name)) return code;
  CBlockView view;
  if (int code = OpenBlock(name, true, view)) return code;
  if (view.Size() < kBoardBlockSize) return NotABoardBlock(name, view.Size());
  const int c = static_cast<int>(channel) - 1;
  const SettingsRecord old = ReadSettingsRecord(view.Data(), c);
  const SettingsRecord now = {static_cast<int32_t>(static_cast<uint32_t>(flags)),
                              static_cast<int32_t>(static_cast<uint32_t>(index))};
  WriteSettingsRecord(view.Data(), c, now);
  std::printf("ch%d flags=%d channel=%d (was flags=%d channel=%d)\n", c + 1, now.flags,
              now.watermarkingChannel, old.flags, old.watermarkingChannel);
  return kExitDone;
}

// The board's shared memory block "PELORIN_%08X": its byte layout, which
// client programs depend on, and the rules that fill its header.
//
//   0       u32  channel thread count            board thread
//   4       12   version text "%d.%d.%d"         board thread, at creation
//   16      u16  latency word                    board thread, every turn
//   18      u16  heartbeat word                  board thread, every turn
//   20 + 1636 c  status record of channel c      channel c, on the board thread
//   0x4000  i32  latency mode                    configuration load, clients
//   0x4004 + 8 c settings record of channel c    configuration load, clients
//
// Nobody takes the block's mutex: the service and its clients write the block
// directly. Every field is an aligned word written whole, through the
// volatile stores below so that the compiler neither tears nor drops them.
// Little-endian, as the x86 and x64 machines it runs on.
#pragma once

#include <cstdint>

const char kBoardBlockPrefix[] = "PELORIN_";  // + "%08X" of the serial
const uint32_t kBoardBlockSize = 0x4400;
const uint32_t kBlockChannelCountOffset = 0;
const uint32_t kBlockVersionOffset = 4;
const uint32_t kBlockVersionSize = 12;
const uint32_t kBlockLatencyWordOffset = 16;
const uint32_t kBlockHeartbeatWordOffset = 18;
const uint32_t kBlockStatusOffset = 20;
const uint32_t kStatusRecordSize = 1636;
const int kBlockMaxChannels = 8;
const uint32_t kBlockSettingsOffset = 0x4000;  // the latency mode, then the settings records
const uint32_t kBlockSettingsAreaSize = 1024;
const uint32_t kBlockSettingsRecordsOffset = 0x4004;
const uint32_t kSettingsRecordSize = 8;  // i32 flags (bit 0: enabled), i32 watermarking channel
const uint32_t kSettingsImageSize = 4 + kSettingsRecordSize * kBlockMaxChannels;

static_assert(kBlockStatusOffset % 4 == 0 && kStatusRecordSize % 4 == 0, "status records start 4-aligned");
static_assert(kBlockStatusOffset + kStatusRecordSize * kBlockMaxChannels == 13108,
              "status records end where the zero gap begins");
static_assert(13108 <= kBlockSettingsOffset, "status records stay below the settings area");
static_assert(kBlockSettingsRecordsOffset + kSettingsRecordSize * kBlockMaxChannels == 0x4044,
              "settings records end where the zero tail begins");
static_assert(kSettingsImageSize == 68, "the settings image mirrors 0x4000..0x4043");
static_assert(kBlockSettingsOffset + kBlockSettingsAreaSize == kBoardBlockSize,
              "the settings area ends the block");

inline uint32_t StatusRecordOffset(int channel) {
  return kBlockStatusOffset + kStatusRecordSize * uint32_t(channel);
}
inline uint32_t SettingsRecordOffset(int channel) {
  return kBlockSettingsRecordsOffset + kSettingsRecordSize * uint32_t(channel);
}

// Whole, aligned accesses to memory that other processes change at any time.
inline void StoreU16(void* at, uint16_t v) { *static_cast<volatile uint16_t*>(at) = v; }
inline void StoreU32(void* at, uint32_t v) { *static_cast<volatile uint32_t*>(at) = v; }
inline uint16_t LoadU16(const void* at) { return *static_cast<const volatile uint16_t*>(at); }
inline uint32_t LoadU32(const void* at) { return *static_cast<const volatile uint32_t*>(at); }

// Frames per period for a latency mode: 0 -> 512, 1 -> 2560, anything else 5120.
uint32_t LatencyModeToFrames(int32_t mode);
// The latency word: latency x 2 + 0xA00, as 16 bits (3584, 7680, 12800).
uint16_t LatencyWord(uint32_t latency);

// A new block: bytes 0..0x3FFF and the settings area zeroed, the version
// text written. `block` holds kBoardBlockSize bytes.
void InitBoardBlock(uint8_t* block);

// One heartbeat turn's header words. The latency word is rewritten when it
// differs from the wanted one, else stepped by one in the first second of
// every heartbeat minute (counted before the increment); the counter wraps
// after 0xFFFF and the heartbeat word shows its low byte.
struct HeartbeatWords {
  uint16_t latencyWord;
  uint16_t heartbeatWord;
  uint32_t count;  // the counter after this turn
};
HeartbeatWords HeartbeatStep(uint16_t latencyWordNow, uint32_t latency, uint32_t count);

// HeartbeatStep on a block's header; *count is the board's counter.
void WriteHeartbeat(uint8_t* block, uint32_t latency, uint32_t* count);

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
#include <string>

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

// The channel status record, offsets within it. Written by the board thread
// without a lock; readers take each field whole and must not rely on a
// terminating zero in the 24-byte names.
const uint32_t kStatusByteOffset = 0;  // 0 OFF, 1 RUNNING, 2 ERROR, 5 AUDIO ERROR, 6 NOT SUPPORTED
const uint32_t kStatusBitsOffset = 1;  // 0x01 device started, 0x02 library loaded, 0x04 alarm
const uint32_t kStatusNameCountOffset = 4;
const uint32_t kStatusWatermarkIdOffset = 8;
const uint32_t kStatusSelectedNameOffset = 12;
const uint32_t kStatusNameSize = 24;
const uint32_t kStatusNameTableOffset = 36;
const int kStatusMaxNames = 64;
const uint32_t kStatusValidFlagsOffset = 1572;
static_assert(kStatusSelectedNameOffset + kStatusNameSize == kStatusNameTableOffset, "the table follows");
static_assert(kStatusNameTableOffset + kStatusNameSize * kStatusMaxNames == kStatusValidFlagsOffset,
              "the valid flags follow the table");
static_assert(kStatusValidFlagsOffset + kStatusMaxNames == kStatusRecordSize, "the flags end the record");

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

// Status values by the names their log lines give them ("OFF", "RUNNING",
// "ERROR", "AUDIO ERROR", "NOT SUPPORTED"); null for any other value.
inline const char* ChannelStatusName(uint8_t status) {
  switch (status) {
    case 0: return "OFF";
    case 1: return "RUNNING";
    case 2: return "ERROR";
    case 5: return "AUDIO ERROR";
    case 6: return "NOT SUPPORTED";
    default: return nullptr;
  }
}

// What a client reads of channel c's status record in a whole block.
struct StatusRecordView {
  uint8_t status;
  uint8_t bits;
  int32_t nameCount;
  uint32_t watermarkId;
  std::string selected;  // up to the first zero, at most 24 bytes
};
inline StatusRecordView ReadStatusRecord(const uint8_t* block, int channel) {
  const uint8_t* r = block + StatusRecordOffset(channel);
  StatusRecordView v;
  v.status = *static_cast<const volatile uint8_t*>(r + kStatusByteOffset);
  v.bits = *static_cast<const volatile uint8_t*>(r + kStatusBitsOffset);
  v.nameCount = static_cast<int32_t>(LoadU32(r + kStatusNameCountOffset));
  v.watermarkId = LoadU32(r + kStatusWatermarkIdOffset);
  const char* name = reinterpret_cast<const char*>(r + kStatusSelectedNameOffset);
  size_t n = 0;
  while (n < kStatusNameSize && name[n] != '\0') ++n;
  v.selected.assign(name, n);
  return v;
}

// Channel c's settings record, as the service and its clients read and write it.
struct SettingsRecord {
  int32_t flags;                // bit 0: watermarking enabled
  int32_t watermarkingChannel;  // index into the embedder's channel names
};
// One record, at its own address (a channel holds only its record).
inline SettingsRecord LoadSettingsRecord(const uint8_t* record) {
  return SettingsRecord{static_cast<int32_t>(LoadU32(record)), static_cast<int32_t>(LoadU32(record + 4))};
}
inline SettingsRecord ReadSettingsRecord(const uint8_t* block, int channel) {
  return LoadSettingsRecord(block + SettingsRecordOffset(channel));
}
// The watermarking channel first: a channel that sees the new flags first
// would start on the old index.
inline void StoreSettingsRecord(uint8_t* record, const SettingsRecord& settings) {
  StoreU32(record + 4, static_cast<uint32_t>(settings.watermarkingChannel));
  StoreU32(record, static_cast<uint32_t>(settings.flags));
}
inline void WriteSettingsRecord(uint8_t* block, int channel, const SettingsRecord& settings) {
  StoreSettingsRecord(block + SettingsRecordOffset(channel), settings);
}
inline int32_t ReadLatencyMode(const uint8_t* block) {
  return static_cast<int32_t>(LoadU32(block + kBlockSettingsOffset));
}

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

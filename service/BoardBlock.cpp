#include "service/BoardBlock.h"

#include <cstdio>
#include <cstring>

#include "service/WatermarkMain.h"

uint32_t LatencyModeToFrames(int32_t mode) {
  if (mode == 0) return 512;
  if (mode == 1) return 2560;
  return 5120;
}

uint16_t LatencyWord(uint32_t latency) { return static_cast<uint16_t>(latency * 2 + 0xA00); }

void InitBoardBlock(uint8_t* block) {
  std::memset(block, 0, kBlockSettingsOffset);
  char version[kBlockVersionSize + 1] = {};
  std::snprintf(version, sizeof version, "%d.%d.%d", kVersionMajor, kVersionMinor, kVersionBuild);
  std::memcpy(block + kBlockVersionOffset, version, kBlockVersionSize);
  std::memset(block + kBlockSettingsOffset, 0, kBlockSettingsAreaSize);
}

HeartbeatWords HeartbeatStep(uint16_t latencyWordNow, uint32_t latency, uint32_t count) {
  HeartbeatWords w;
  const uint16_t wanted = LatencyWord(latency);
  if (latencyWordNow != wanted)
    w.latencyWord = wanted;
  else if ((count * 200 / 1000) % 60 == 0)
    w.latencyWord = static_cast<uint16_t>(latencyWordNow + 1);
  else
    w.latencyWord = latencyWordNow;
  w.count = count + 1 > 0xFFFF ? 0 : count + 1;
  w.heartbeatWord = static_cast<uint16_t>(0x5500 | (w.count & 0xFF));
  return w;
}

void WriteHeartbeat(uint8_t* block, uint32_t latency, uint32_t* count) {
  const uint16_t now = LoadU16(block + kBlockLatencyWordOffset);
  const HeartbeatWords w = HeartbeatStep(now, latency, *count);
  if (w.latencyWord != now) StoreU16(block + kBlockLatencyWordOffset, w.latencyWord);
  StoreU16(block + kBlockHeartbeatWordOffset, w.heartbeatWord);
  *count = w.count;
}

// The channel's status record in the board's block, as client programs read
// it (little-endian, no lock):
//
//   0     u8   status: 0 OFF, 1 RUNNING, 2 ERROR, 5 AUDIO ERROR, 6 NOT SUPPORTED
//   1     u8   bits: 0x01 device started, 0x02 library loaded, 0x04 alarm
//   2     u16  0
//   4     i32  name count (-1 before the SDK's names were fetched)
//   8     u32  watermark ID
//   12    24   selected name, zero-padded, unterminated at 24 characters
//   36    64 x 24  name table
//   1572  64   valid flags
#include <algorithm>
#include <cstring>

#include "drivers/AudioAsio.h"
#include "service/BoardBlock.h"
#include "service/TarvelKantar.h"
#include "service/WatermarkChannel.h"
#include "tvlib/log/log.h"

namespace {

const uint32_t kStatusOffset = 0;
const uint32_t kBitsOffset = 1;
const uint32_t kReservedOffset = 2;
const uint32_t kNameCountOffset = 4;
const uint32_t kIdOffset = 8;
const uint32_t kSelectedOffset = 12;
const uint32_t kNameSize = 24;
const uint32_t kTableOffset = 36;
const uint32_t kValidOffset = 1572;
static_assert(kTableOffset + kNameSize * CWatermark_Channel::kMaxNames == kValidOffset,
              "table ends at the flags");
static_assert(kValidOffset + CWatermark_Channel::kMaxNames == kStatusRecordSize, "flags end the record");

enum : uint8_t { kBitStarted = 0x01, kBitLibrary = 0x02, kBitAlarm = 0x04 };
enum : uint8_t { kOff = 0, kRunning = 1, kError = 2, kAudioError = 5, kNotSupported = 6 };

// Each byte is written once, with its final value.
void PutName(uint8_t* at, const std::string& name) {
  const size_t n = std::min<size_t>(name.size(), kNameSize);
  std::memcpy(at, name.data(), n);
  std::memset(at + n, 0, kNameSize - n);
}

}  // namespace

const char* WriteStatusRecord(uint8_t* record, const ChannelStatusView& view) {
  for (int i = 0; i < CWatermark_Channel::kMaxNames; ++i) {
    const bool valid = i < view.nameCount && view.names != nullptr;
    uint8_t* entry = record + kTableOffset + kNameSize * i;
    if (valid)
      PutName(entry, view.names[i]);
    else
      std::memset(entry, 0, kNameSize);
    record[kValidOffset + i] = valid ? 1 : 0;
  }
  if (view.selected >= 0 && view.selected < view.nameCount && view.names != nullptr)
    PutName(record + kSelectedOffset, view.names[view.selected]);
  else
    std::memset(record + kSelectedOffset, 0, kNameSize);
  StoreU32(record + kNameCountOffset, static_cast<uint32_t>(view.nameCount));
  StoreU32(record + kIdOffset, view.watermarkId);
  StoreU16(record + kReservedOffset, 0);

  volatile uint8_t* statusByte = record + kStatusOffset;
  volatile uint8_t* bitsByte = record + kBitsOffset;
  uint8_t status = *statusByte;
  // The alarm is the one bit that carries over; the others are recomputed,
  // so that scribbles from clients go at the next turn.
  uint8_t bits = *bitsByte & kBitAlarm;
  if (view.libraryLoaded) bits |= kBitLibrary;
  // Started means started now, also on a disabled channel whose device the
  // update has closed.
  if (view.deviceStarted) bits |= kBitStarted;

  const char* line = nullptr;
  if (!view.enabled) {
    bits &= ~kBitAlarm;
    if (status != kOff) {
      status = kOff;
      line = "%s: Status changed to OFF";
    }
  } else if (view.notSupported) {
    if (status != kNotSupported) {
      status = kNotSupported;
      bits |= kBitAlarm;
      line = "%s: Status changed to NOT SUPPORTED";
    }
  } else if (view.deviceStarted) {
    if (view.rtRunning) {
      if (status != kRunning) {
        status = kRunning;
        bits &= ~kBitAlarm;
        line = "%s: Status changed to RUNNING";
      }
    } else if (status != kError) {
      status = kError;
      bits |= kBitAlarm;
      line = "%s: Status changed to ERROR";
    }
  } else {
    if (status != kAudioError) {
      status = kAudioError;
      line = "%s: Status changed to AUDIO ERROR";
    }
    bits |= kBitAlarm;
  }
  *statusByte = status;
  *bitsByte = bits;
  return line;
}

void CWatermark_Channel::UpdateStatus() {
  if (m_pStatus == nullptr) return;
  const uint32_t flags = Flags();
  ChannelStatusView view;
  view.enabled = m_enabled.load();
  view.libraryLoaded = CTarvelKantar::IsLibraryLoaded();
  view.notSupported = (flags & kFlagNotSupported) != 0;
  // The board thread and the ending thread are the only ones that change the
  // device pointer, and they never run this at the same time.
  view.deviceStarted = m_pAudio != nullptr && m_pAudio->IsStarted();
  view.rtRunning = (flags & kFlagRtRunning) != 0;
  view.nameCount = m_nameCount;
  view.names = m_names;
  view.selected = m_selectedName;
  view.watermarkId = static_cast<uint32_t>(::InterlockedCompareExchange(&m_watermarkId, 0, 0));
  if (const char* line = WriteStatusRecord(m_pStatus, view)) LogLevel3(line, m_displayName.c_str());
}

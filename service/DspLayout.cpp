#include "service/DspLayout.h"

#include <algorithm>

#include "drivers/BaseDriver.h"
#include "service/BoardBlock.h"
#include "drivers/DriverQBX.h"
#include "tvlib/log/log.h"

namespace {

bool IsQbxFamily(int32_t kind) { return kind == 1 || kind == 2; }

}  // namespace

int32_t DspCountFromRegister(uint32_t register80) {
  return static_cast<int32_t>(std::min(register80 & 0x0Fu, (register80 >> 4) & 0x0Fu));
}

bool MaskRegisterHoldsMask(uint32_t register80) {
  const uint32_t bits = (1u << 18) | (1u << 19);
  return (register80 & bits) == bits;
}

uint32_t AudioMaskFromRegister(uint32_t register76) {
  return register76 & (register76 >> 8) & (register76 >> 24);
}

bool AudioMaskFromXtraInfo(const std::vector<uint8_t>& info, uint8_t* mask) {
  if (info.size() < 16 || info[0] != 0xFF) return false;
  if ((info[14] & info[15]) == 0xFF) return false;
  *mask = info[15];
  return true;
}

CDspLayout ChannelRunFromMask(uint32_t mask, int32_t dsps) {
  // Bit 7 is the last: the block holds records for eight channels.
  const int32_t limit = std::min<int32_t>(dsps, kBlockMaxChannels);
  for (int32_t k = 0; k < limit; ++k) {
    if ((mask & (1u << k)) == 0) continue;
    int32_t count = 0;
    while (k + count < limit && (mask & (1u << (k + count))) != 0) ++count;
    return CDspLayout{count, k};
  }
  return CDspLayout{0, 0};
}

CDspLayout ComputeDspLayout(int32_t kind, const DspRegisterRead& readRegister,
                            const DspXtraInfoRead& readXtraInfo, const std::string& name) {
  const CDspLayout none = {0, 0};
  if (!IsQbxFamily(kind)) return none;

  uint32_t register80 = 0;
  if (!readRegister(kDspCountRegister, &register80) || register80 == 0 || register80 == 0xFFFFFFFFu) {
    LogLevel7("%s: PCIe/LNR1 no fpga audio support, so 0 channel", name.c_str());
    return none;
  }
  const int32_t dsps = DspCountFromRegister(register80);
  if (dsps == 0) {
    LogLevel7("%s: PCIe/LNR1 no DSP audio support, so 0 channel", name.c_str());
    return none;
  }

  const uint32_t present = (1u << dsps) - 1;
  uint32_t mask = 0;
  uint32_t register76 = 0;
  if (MaskRegisterHoldsMask(register80) && readRegister(kDspMaskRegister, &register76)) {
    mask = present & AudioMaskFromRegister(register76);
  } else {
    uint8_t stored = 0;
    if (AudioMaskFromXtraInfo(readXtraInfo(), &stored)) {
      mask = present & stored;
      LogLevel9("%s: PCIe/LNR1 DSP using mask %02X", name.c_str(), mask);
    } else {
      mask = 0;
      LogLevel9("%s: PCIe/LNR1 DSP using mask %02X (auto)", name.c_str(), mask);
    }
  }

  const CDspLayout layout = ChannelRunFromMask(mask, dsps);
  LogLevel7("%s: PCIe/LNR1 mode, with %d channel starting on %d", name.c_str(), layout.channelCount,
            layout.firstChannel);
  return layout;
}

CDspLayout ComputeDspLayout(CBaseDriver* driver, const std::string& name) {
  if (driver == nullptr) return CDspLayout{0, 0};
  return ComputeDspLayout(
      driver->GetKind(),
      [driver](uint32_t offset, uint32_t* value) { return driver->ReadRegB(offset, value, 4); },
      [driver]() {
        std::vector<uint8_t> bytes;
        // Only the QBX driver reads the block; any other class of that kind
        // simply has none.
        CDriverQBX* qbx = dynamic_cast<CDriverQBX*>(driver);
        if (qbx != nullptr) {
          CBufferBase<uint8_t> info = qbx->GetDSPXtraInfo();
          if (!info.IsEmpty()) bytes.assign(info.GetData(), info.GetData() + info.GetLength());
        }
        return bytes;
      },
      name);
}

// The board's watermark channels as its DSP layout gives them: how many
// channels it has and at which DSP they start (channel i uses audio device
// first + i).
//
// A QBX-family board reports up to fifteen DSPs in region-B register 80; a
// mask says which of them carry audio, taken from register 76 when register 80
// says so, else from the DSP extra-info block in flash. PCI-family boards have
// no watermark channels.
//
// Stateless: the rules are pure functions, and ComputeDspLayout reads what the
// rules need, in the order they need it, and nothing more. The board keeps the
// result (its layout cache) and is the only caller of its driver, so these
// functions take no lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class CBaseDriver;

struct CDspLayout {
  int32_t channelCount;  // 0..8
  int32_t firstChannel;  // the DSP of channel 0; 0 when there is no channel
};

// Region-B registers read for the layout, as 4-byte values.
const uint32_t kDspCountRegister = 80;
const uint32_t kDspMaskRegister = 76;

// The usable DSPs: the smaller of the counts in bits 0-3 and bits 4-7.
int32_t DspCountFromRegister(uint32_t register80);
// Bits 18 and 19 both set: register 76 holds the audio mask.
bool MaskRegisterHoldsMask(uint32_t register80);
// A DSP counts only when its bit is set in bytes 0, 1 and 3 of register 76.
uint32_t AudioMaskFromRegister(uint32_t register76);
// The mask stored in the extra-info block: false when the block is invalid
// (shorter than 16 bytes, byte 0 not 0xFF) or holds none (byte 14 & byte 15
// is 0xFF).
bool AudioMaskFromXtraInfo(const std::vector<uint8_t>& info, uint8_t* mask);
// The run of channels in `mask`: from its lowest set bit, the consecutive set
// bits up to the first clear bit, bit dsps - 1 and bit 7. No bit: 0 from 0.
CDspLayout ChannelRunFromMask(uint32_t mask, int32_t dsps);

// A 4-byte region-B read; false when it failed.
typedef std::function<bool(uint32_t offset, uint32_t* value)> DspRegisterRead;
// The extra-info block; empty when it cannot be read.
typedef std::function<std::vector<uint8_t>()> DspXtraInfoRead;

// The whole decision for a board of driver kind `kind` (0 PCI, 1 and 2 QBX),
// logging its lines with `name` ("SN%08X") as their first field.
CDspLayout ComputeDspLayout(int32_t kind, const DspRegisterRead& readRegister,
                            const DspXtraInfoRead& readXtraInfo, const std::string& name);
// The same through a board's driver; a null driver has no channels.
CDspLayout ComputeDspLayout(CBaseDriver* driver, const std::string& name);

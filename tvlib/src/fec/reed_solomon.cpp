#include "tvlib/fec/reed_solomon.h"

#include <cassert>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "tvlib/fec/reed_solomon_layout.h"
#include "tvlib/win.h"

namespace {

const int kMaxCachedRoots = 253;

// Slots by number of parity bytes; read and filled only under the lock.
// Plain data, zero before any initialiser runs: a constructor of its own
// would run at default priority, after the start-up step, and undo it.
struct FECCache {
  bool ready;
  CRITICAL_SECTION lock;
  ReedSolomonCodec* slots[kMaxCachedRoots + 1];
};
FECCache g_cache;

void FreeFECCache() {
  if (!g_cache.ready) return;
  ::EnterCriticalSection(&g_cache.lock);
  g_cache.ready = false;
  for (ReedSolomonCodec*& codec : g_cache.slots) {
    ReedSolomonFree(codec);
    codec = nullptr;
  }
  ::LeaveCriticalSection(&g_cache.lock);
  ::DeleteCriticalSection(&g_cache.lock);
}

// After the logger (priority 101), before every default-priority static
// object; the clean-up registered with atexit runs before the logger goes.
struct FECCacheStartup {
  FECCacheStartup() { InitFECCache(); }
} g_fecCacheStartup __attribute__((init_priority(200)));

// The codecs of a layout: its blocks have at most two parity lengths
// (c, and the last block's or c + 1). Fetched before the buffer is touched,
// so that a refusal leaves it as it was.
struct LayoutCodecs {
  uint32_t length[2];
  const ReedSolomonCodec* codec[2];

  bool Fetch(const ReedSolomonLayout& layout) {
    length[0] = layout.Block(0).parityLength;
    length[1] = layout.Block(layout.blocks - 1).parityLength;
    for (int k = 0; k < 2; ++k) {
      codec[k] = nullptr;
      if (length[k] == 0) continue;
      codec[k] = GetReedSolomonCodec(static_cast<int>(length[k]));
      if (codec[k] == nullptr) return false;
    }
    return true;
  }

  // A private copy of the cached record whose pad shortens it to the block.
  ReedSolomonCodec For(const ReedSolomonBlock& block) const {
    ReedSolomonCodec copy = *codec[block.parityLength == length[0] ? 0 : 1];
    copy.pad = 255 - static_cast<int>(block.dataLength) - static_cast<int>(block.parityLength);
    assert(copy.pad >= 0);
    return copy;
  }
};

}  // namespace

void InitFECCache() {
  if (g_cache.ready) return;
  ::InitializeCriticalSection(&g_cache.lock);
  for (ReedSolomonCodec*& codec : g_cache.slots) codec = nullptr;
  g_cache.ready = true;
  std::atexit(FreeFECCache);
}

const ReedSolomonCodec* GetReedSolomonCodec(int roots) {
  if (roots < 0 || roots > kMaxCachedRoots) return LogErrorNull("Bad Root count for reed-solomon");
  if (!g_cache.ready) return nullptr;
  ::EnterCriticalSection(&g_cache.lock);
  ReedSolomonCodec* codec = g_cache.slots[roots];
  if (codec == nullptr && g_cache.ready) {
    codec = ReedSolomonInit(8, 0x11D, 1, 1, roots, 0);
    g_cache.slots[roots] = codec;
  }
  ::LeaveCriticalSection(&g_cache.lock);
  return codec;
}

CReedSolomon::CReedSolomon(double ratio) : m_dRatio(0), m_workBuffer(255) {
  // NaN fails every comparison and stays 0.
  if (ratio > 0) m_dRatio = ratio < 2.55 ? ratio : 2.55;
}

CReedSolomon::CReedSolomon(const CBufferBase<unsigned char>& config) : m_dRatio(0), m_workBuffer(255) {
  SetConfig(config);
}

unsigned CReedSolomon::GetParitySize(unsigned dataSize) const {
  return ReedSolomonParityFor(m_dRatio, dataSize);
}

unsigned CReedSolomon::GetCodedSize(unsigned dataSize) const { return dataSize + GetParitySize(dataSize); }

unsigned CReedSolomon::GetCorrectableSize(unsigned dataSize) const { return GetParitySize(dataSize) / 2; }

bool CReedSolomon::GetConfig(CBufferBase<unsigned char>& buffer) const {
  if (buffer.GetLength() != 1) return LogErrorFalse("CReedSolomon::GetConfig bad size");
  // The nearest integer: the double nearest 0.29 lies below it, and
  // truncating would read 29 back as 28.
  buffer[0] = static_cast<unsigned char>(std::lround(m_dRatio * 100));
  return true;
}

bool CReedSolomon::SetConfig(const CBufferBase<unsigned char>& buffer) {
  if (buffer.GetLength() != 1) return LogErrorFalse("CReedSolomon::SetConfig bad size");
  m_dRatio = buffer[0] / 100.0;
  return IsInitialized();
}

bool CReedSolomon::ComputeFEC(CBufferBase<unsigned char>& buffer) {
  if (!IsInitialized()) return LogErrorFalse("CReedSolomon::ComputeFEC not initialized");
  const uint32_t a = buffer.GetLength();
  if (a == 0) return LogErrorFalse("CReedSolomon::ComputeFEC buffer is empty");
  const double parity = std::floor(a * m_dRatio);
  ReedSolomonLayout layout;
  if (parity > 0xFFFFFFFFu - a || !ReedSolomonMakeLayout(a, static_cast<uint32_t>(parity), &layout))
    return LogErrorFalse("CReedSolomon::ComputeFEC failed alloc");
  if (layout.parityLength == 0) return true;

  LayoutCodecs codecs;
  if (!codecs.Fetch(layout)) return false;
  const uint32_t total = a + layout.parityLength;
  // Realloc keeps the data; an attached buffer that is too small is refused
  // rather than replaced by memory without the data.
  if (!buffer.Realloc(total) || !buffer.SetLength(total))
    return LogErrorFalse("CReedSolomon::ComputeFEC failed alloc");

  unsigned char* bytes = buffer.GetData();
  for (uint32_t i = 0; i < layout.blocks; ++i) {
    const ReedSolomonBlock block = layout.Block(i);
    if (block.parityLength == 0) continue;
    const ReedSolomonCodec codec = codecs.For(block);
    ReedSolomonEncode(&codec, bytes + block.dataOffset, bytes + block.parityOffset);
  }
  return true;
}

bool CReedSolomon::ExtractData(CBufferBase<unsigned char>& buffer, int* pCorrected) {
  if (!IsInitialized()) return LogErrorFalse("CReedSolomon::ExtractData not initialized");
  const uint32_t length = buffer.GetLength();
  if (length == 0) return LogErrorFalse("CReedSolomon::ExtractData buffer is empty");
  uint32_t a = 0;
  ReedSolomonLayout layout;
  if (!ReedSolomonDataLengthFor(m_dRatio, length, &a) || !ReedSolomonMakeLayout(a, length - a, &layout))
    return LogErrorFalse("CReedSolomon::ExtractData bad buffer size");

  int total = 0;
  if (layout.parityLength != 0) {
    LayoutCodecs codecs;
    if (!codecs.Fetch(layout)) return false;
    if (!m_workBuffer.Realloc(255)) return false;
    unsigned char* work = m_workBuffer.GetData();
    unsigned char* bytes = buffer.GetData();
    for (uint32_t i = 0; i < layout.blocks; ++i) {
      const ReedSolomonBlock block = layout.Block(i);
      if (block.parityLength == 0) continue;
      const ReedSolomonCodec codec = codecs.For(block);
      std::memcpy(work, bytes + block.dataOffset, block.dataLength);
      std::memcpy(work + block.dataLength, bytes + block.parityOffset, block.parityLength);
      const int corrected = ReedSolomonDecode(&codec, work, nullptr, 0);
      if (corrected < 0) return false;
      if (corrected > 0) std::memcpy(bytes + block.dataOffset, work, block.dataLength);
      total += corrected;
    }
  }
  buffer.SetLength(a);
  if (pCorrected != nullptr) *pCorrected = total;
  return true;
}

// How CReedSolomon lays a coded buffer out: pure rules, shared by
// ComputeFEC and ExtractData (and checked on their own by the tests).
//
// A coded buffer of a data bytes and b parity bytes holds all the data
// first, unchanged, then all the parity, each in block order; block i owns
// one run of data and one run of parity, and is coded as one 8-bit
// Reed-Solomon block of at most 255 bytes.
//
// The split: n = ceil((a + b) / 255) blocks; the first n - 1 take
// floor(a / n) data and floor(b / n) parity bytes, the last takes the rest.
// When that last block would not fit in 255 bytes (which happens for most
// long buffers), the same n blocks are balanced instead: block i takes
// floor(a / n) data bytes, one more for the first a mod n blocks, and
// floor(b / n) parity bytes, one more for the last b mod n blocks. Every
// block then has at least 1 data byte, at most 253 parity bytes and at most
// 255 bytes in all.
#pragma once

#include <cmath>
#include <cstdint>

struct ReedSolomonBlock {
  uint32_t dataOffset;
  uint32_t dataLength;
  uint32_t parityOffset;  // from the buffer's start
  uint32_t parityLength;
};

struct ReedSolomonLayout {
  uint32_t dataLength;    // a
  uint32_t parityLength;  // b
  uint32_t blocks;        // n
  bool balanced;          // false: the first n - 1 blocks take d and c, the last the rest
  uint32_t d, c;          // floor(a / n), floor(b / n)
  uint32_t dataExtra;     // balanced: a mod n (the first ones get one more data byte)
  uint32_t parityExtra;   // balanced: b mod n (the last ones get one more parity byte)

  ReedSolomonBlock Block(uint32_t i) const {
    ReedSolomonBlock block;
    if (!balanced) {
      const bool last = i + 1 == blocks;
      block.dataOffset = i * d;
      block.dataLength = last ? dataLength - i * d : d;
      block.parityOffset = dataLength + i * c;
      block.parityLength = last ? parityLength - i * c : c;
      return block;
    }
    block.dataOffset = i * d + (i < dataExtra ? i : dataExtra);
    block.dataLength = d + (i < dataExtra ? 1 : 0);
    const uint32_t plainParity = blocks - parityExtra;  // blocks before the longer parity runs
    block.parityOffset = dataLength + i * c + (i > plainParity ? i - plainParity : 0);
    block.parityLength = c + (i >= plainParity ? 1 : 0);
    return block;
  }
};

// floor(a x ratio), computed in double; saturated at 2^32 - 1.
inline uint32_t ReedSolomonParityFor(double ratio, uint32_t a) {
  const double b = std::floor(a * ratio);
  return b >= 4294967295.0 ? 0xFFFFFFFFu : static_cast<uint32_t>(b);
}

// The layout of a >= 1 data and b parity bytes; false when a + b does not fit in 32 bits.
inline bool ReedSolomonMakeLayout(uint32_t a, uint32_t b, ReedSolomonLayout* layout) {
  const uint64_t total = static_cast<uint64_t>(a) + b;
  if (a == 0 || total > 0xFFFFFFFFu) return false;
  layout->dataLength = a;
  layout->parityLength = b;
  // In doubles, as the split has always been computed, so that every buffer
  // whose split fits is laid out as it always was.
  const double n = std::ceil(static_cast<double>(total) / 255.0);
  layout->blocks = static_cast<uint32_t>(n);
  layout->d = static_cast<uint32_t>(std::floor(a / n));
  layout->c = static_cast<uint32_t>(std::floor(b / n));
  const int64_t lastData = static_cast<int64_t>(a) - static_cast<int64_t>(layout->blocks - 1) * layout->d;
  const int64_t lastParity = static_cast<int64_t>(b) - static_cast<int64_t>(layout->blocks - 1) * layout->c;
  layout->balanced = !(lastData >= 1 && lastParity >= 0 && lastData + lastParity <= 255);
  layout->dataExtra = 0;
  layout->parityExtra = 0;
  if (layout->balanced) {
    layout->d = a / layout->blocks;
    layout->c = b / layout->blocks;
    layout->dataExtra = a % layout->blocks;
    layout->parityExtra = b % layout->blocks;
  }
  return true;
}

// The data length a that codes to L bytes at this ratio (a + floor(a x
// ratio) = L, the inverse of the coded size); false when no data length
// codes to L. The coded size grows strictly with a, so a is unique and lies
// next to L / (ratio + 1).
inline bool ReedSolomonDataLengthFor(double ratio, uint32_t codedLength, uint32_t* a) {
  const double guess = std::floor(codedLength / (ratio + 1.0));
  for (int delta = -2; delta <= 2; ++delta) {
    const double candidate = guess + delta;
    if (candidate < 1 || candidate > codedLength) continue;
    const uint32_t x = static_cast<uint32_t>(candidate);
    if (static_cast<uint64_t>(x) + ReedSolomonParityFor(ratio, x) == codedLength) {
      *a = x;
      return true;
    }
  }
  return false;
}

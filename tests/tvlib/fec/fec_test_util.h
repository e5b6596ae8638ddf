// Shared pieces of the Reed-Solomon tests: both codecs behind small owners,
// a seeded generator whose seed goes into every failure message, and error
// patterns at distinct positions.
#pragma once

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "support/libfec_rs.h"
#include "tvlib/fec/reed_solomon_codec.h"

namespace fectest {

// The six numbers that name a code in both libraries.
struct Code {
  int mm, poly, fcr, prim, roots, pad;
  int Length() const { return (1 << mm) - 1 - pad; }
  int DataLength() const { return Length() - roots; }
  std::string Name() const {
    return "(" + std::to_string(mm) + ", 0x" + ToHex(poly) + ", " + std::to_string(fcr) + ", " +
           std::to_string(prim) + ", " + std::to_string(roots) + ", " + std::to_string(pad) + ")";
  }
  static std::string ToHex(int v) {
    const char* digits = "0123456789ABCDEF";
    std::string s;
    do {
      s.insert(s.begin(), digits[v & 15]);
      v >>= 4;
    } while (v != 0);
    return s;
  }
};

class OurCodec {
 public:
  explicit OurCodec(const Code& c) : m_codec(ReedSolomonInit(c.mm, c.poly, c.fcr, c.prim, c.roots, c.pad)) {}
  ~OurCodec() { ReedSolomonFree(m_codec); }
  OurCodec(const OurCodec&) = delete;
  OurCodec& operator=(const OurCodec&) = delete;
  const ReedSolomonCodec* get() const { return m_codec; }

 private:
  ReedSolomonCodec* m_codec;
};

class LibfecCodec {
 public:
  explicit LibfecCodec(const Code& c) : m_rs(init_rs_char(c.mm, c.poly, c.fcr, c.prim, c.roots, c.pad)) {}
  ~LibfecCodec() {
    if (m_rs != nullptr) free_rs_char(m_rs);
  }
  LibfecCodec(const LibfecCodec&) = delete;
  LibfecCodec& operator=(const LibfecCodec&) = delete;
  void* get() const { return m_rs; }

 private:
  void* m_rs;
};

// A generator that remembers its seed for the failure messages.
class Rng {
 public:
  explicit Rng(uint32_t seed) : m_seed(seed), m_engine(seed) {}
  uint32_t Seed() const { return m_seed; }
  int Int(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(m_engine); }
  std::vector<unsigned char> Symbols(int count, int mm) {
    std::vector<unsigned char> v(count);
    for (auto& x : v) x = static_cast<unsigned char>(Int(0, (1 << mm) - 1));
    return v;
  }
  // `count` distinct positions below `length`.
  std::vector<int> Positions(int count, int length) {
    std::vector<int> all(length);
    for (int i = 0; i < length; ++i) all[i] = i;
    for (int i = 0; i < count; ++i) std::swap(all[i], all[Int(i, length - 1)]);
    all.resize(count);
    return all;
  }
  // XORs non-zero values into `count` distinct symbols of the block.
  void Corrupt(std::vector<unsigned char>& block, int count, int mm) {
    for (int p : Positions(count, static_cast<int>(block.size())))
      block[p] ^= static_cast<unsigned char>(Int(1, (1 << mm) - 1));
  }

 private:
  uint32_t m_seed;
  std::mt19937 m_engine;
};

// libfec's decoder: its failures come with several negative codes; ours is -1.
inline int LibfecDecode(void* rs, unsigned char* block, int* positions) {
  const int r = decode_rs_char(rs, block, positions, 0);
  return r < 0 ? -1 : r;
}

// A codeword of random data: the data, then our parity.
inline std::vector<unsigned char> RandomCodeword(const ReedSolomonCodec* codec, const Code& c, Rng& rng) {
  std::vector<unsigned char> block = rng.Symbols(c.Length(), c.mm);
  ReedSolomonEncode(codec, block.data(), block.data() + c.DataLength());
  return block;
}

}  // namespace fectest

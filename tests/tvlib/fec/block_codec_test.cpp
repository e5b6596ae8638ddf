// CReedSolomon: the layout rules on their own, coding round trips, the
// parity of every block against libfec's, refusals, and the shared cache.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <limits>
#include <memory>

#include "fec_test_util.h"
#include "support/fn_thread.h"
#include "support/log_capture.h"
#include "tvlib/fec/reed_solomon.h"
#include "tvlib/fec/reed_solomon_layout.h"

using fectest::Rng;

namespace {

using Bytes = std::vector<unsigned char>;

CBufferBase<unsigned char> ToBuffer(const Bytes& bytes) {
  CBufferBase<unsigned char> buffer(static_cast<uint32_t>(bytes.size()));
  if (!bytes.empty()) memcpy(buffer.GetData(), bytes.data(), bytes.size());
  return buffer;
}

Bytes FromBuffer(const CBufferBase<unsigned char>& buffer) {
  return Bytes(buffer.GetData(), buffer.GetData() + buffer.GetLength());
}

CReedSolomon Percent(int percent) {
  CBufferBase<unsigned char> config(1);
  config[0] = static_cast<unsigned char>(percent);
  return CReedSolomon(config);
}

Bytes Coded(CReedSolomon& fec, const Bytes& data) {
  CBufferBase<unsigned char> buffer = ToBuffer(data);
  EXPECT_TRUE(fec.ComputeFEC(buffer));
  return FromBuffer(buffer);
}

// ExtractData of `coded` gives back `data` and counts `corrected`.
void ExpectExtracts(CReedSolomon& fec, const Bytes& coded, int corrected, const Bytes& data) {
  CBufferBase<unsigned char> buffer = ToBuffer(coded);
  int count = -1;
  ASSERT_TRUE(fec.ExtractData(buffer, &count));
  EXPECT_EQ(count, corrected);
  EXPECT_EQ(FromBuffer(buffer), data);
}

// For every percentage and every data length up to 20,000: the coded length
// leads back to the data length and nothing else does, the blocks cover data
// and parity in order, and every block is a valid shortened code.
TEST(ReedSolomonLayout, EveryPercentageAndLength) {
  const uint32_t kMax = 20000;
  for (int percent = 0; percent <= 255; ++percent) {
    const double ratio = percent / 100.0;
    uint32_t previous = 0;
    for (uint32_t a = 1; a <= kMax; ++a) {
      const uint32_t b = ReedSolomonParityFor(ratio, a);
      const uint32_t coded = a + b;
      uint32_t back = 0;
      ASSERT_TRUE(ReedSolomonDataLengthFor(ratio, coded, &back)) << percent << " % of " << a;
      ASSERT_EQ(back, a) << percent << " % of " << a;
      for (uint32_t gap = previous + 1; gap < coded; ++gap)
        ASSERT_FALSE(ReedSolomonDataLengthFor(ratio, gap, &back)) << percent << " %, coded " << gap;
      previous = coded;

      ReedSolomonLayout layout;
      ASSERT_TRUE(ReedSolomonMakeLayout(a, b, &layout));
      uint32_t dataAt = 0, parityAt = a;
      for (uint32_t i = 0; i < layout.blocks; ++i) {
        const ReedSolomonBlock block = layout.Block(i);
        if (block.dataOffset != dataAt || block.parityOffset != parityAt || block.dataLength < 1 ||
            block.parityLength > 253 || block.dataLength + block.parityLength > 255)
          FAIL() << percent << " % of " << a << ": block " << i << " of " << layout.blocks << " has data "
                 << block.dataOffset << "+" << block.dataLength << ", parity " << block.parityOffset << "+"
                 << block.parityLength;
        dataAt += block.dataLength;
        parityAt += block.parityLength;
      }
      ASSERT_EQ(dataAt, a);
      ASSERT_EQ(parityAt, coded);
    }
  }
}

TEST(ReedSolomonLayout, ShortBuffersKeepTheClassicSplit) {
  ReedSolomonLayout layout;
  ASSERT_TRUE(ReedSolomonMakeLayout(400, 200, &layout));
  EXPECT_FALSE(layout.balanced);
  ASSERT_EQ(layout.blocks, 3u);
  const uint32_t parityAt[] = {400, 466, 532}, parity[] = {66, 66, 68}, data[] = {133, 133, 134};
  for (uint32_t i = 0; i < 3; ++i) {
    EXPECT_EQ(layout.Block(i).dataOffset, 133 * i);
    EXPECT_EQ(layout.Block(i).dataLength, data[i]);
    EXPECT_EQ(layout.Block(i).parityOffset, parityAt[i]);
    EXPECT_EQ(layout.Block(i).parityLength, parity[i]);
  }
  EXPECT_FALSE(ReedSolomonMakeLayout(0, 0, &layout));
  EXPECT_FALSE(ReedSolomonMakeLayout(0xF0000000u, 0x20000000u, &layout));
}

TEST(ReedSolomonBlockCodec, DocumentedCases) {
  Rng rng(1430);
  {
    CReedSolomon fec = Percent(25);
    EXPECT_EQ(fec.GetParitySize(100), 25u);
    EXPECT_EQ(fec.GetCodedSize(100), 125u);
    EXPECT_EQ(fec.GetCorrectableSize(100), 12u);
    const Bytes data = rng.Symbols(100, 8);
    Bytes coded = Coded(fec, data);
    ASSERT_EQ(coded.size(), 125u);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), coded.begin())) << "the data stay in front, unchanged";
    rng.Corrupt(coded, 12, 8);
    ExpectExtracts(fec, coded, 12, data);
  }
  {
    CReedSolomon fec = Percent(29);
    EXPECT_EQ(fec.GetParitySize(100), 28u);
    const Bytes data = rng.Symbols(100, 8);
    const Bytes coded = Coded(fec, data);
    EXPECT_EQ(coded.size(), 128u);
    ExpectExtracts(fec, coded, 0, data);
  }
  {
    // 33, 33 and 34 wrong bytes in the three blocks of 400 bytes at 50 %.
    CReedSolomon fec = Percent(50);
    const Bytes data = rng.Symbols(400, 8);
    Bytes coded = Coded(fec, data);
    ASSERT_EQ(coded.size(), 600u);
    const uint32_t dataAt[] = {0, 133, 266}, dataLength[] = {133, 133, 134}, parityAt[] = {400, 466, 532},
                   parityLength[] = {66, 66, 68}, wrong[] = {33, 33, 34};
    for (int i = 0; i < 3; ++i) {
      Bytes block(coded.begin() + dataAt[i], coded.begin() + dataAt[i] + dataLength[i]);
      block.insert(block.end(), coded.begin() + parityAt[i], coded.begin() + parityAt[i] + parityLength[i]);
      rng.Corrupt(block, wrong[i], 8);
      std::copy(block.begin(), block.begin() + dataLength[i], coded.begin() + dataAt[i]);
      std::copy(block.begin() + dataLength[i], block.end(), coded.begin() + parityAt[i]);
    }
    ExpectExtracts(fec, coded, 100, data);
  }
  {
    CReedSolomon fec = Percent(0);
    const Bytes data = rng.Symbols(300, 8);
    EXPECT_EQ(Coded(fec, data), data);
    ExpectExtracts(fec, data, 0, data);
  }
  EXPECT_EQ(Percent(25).GetType(), 0);
  EXPECT_TRUE(Percent(25).IsInitialized());
}

// Round trips for every percentage at short lengths and at long ones whose
// classic split would not fit in 255-byte blocks; in every block the most
// errors the code corrects, and more in a single block are refused.
TEST(ReedSolomonBlockCodec, RoundTripsAndCorrectionLimit) {
  struct Case {
    int percent;
    uint32_t length;
  };
  std::vector<Case> cases;
  for (int percent = 0; percent <= 255; ++percent) {
    for (uint32_t length = 1; length <= 40; ++length) cases.push_back({percent, length});
  }
  for (Case c : {Case{1, 505}, Case{10, 695}, Case{25, 608}, Case{100, 255}, Case{1, 65536}, Case{25, 65536},
                 Case{100, 65536}, Case{255, 65536}, Case{7, 20000}, Case{255, 1000}})
    cases.push_back(c);
  Rng rng(1431);
  for (const Case& c : cases) {
    CReedSolomon fec = Percent(c.percent);
    const std::string where = std::to_string(c.percent) + " % of " + std::to_string(c.length) + ", seed " +
                              std::to_string(rng.Seed());
    const Bytes data = rng.Symbols(c.length, 8);
    const Bytes coded = Coded(fec, data);
    ASSERT_EQ(coded.size(), fec.GetCodedSize(c.length)) << where;

    CBufferBase<unsigned char> clean = ToBuffer(coded);
    int corrected = -1;
    ASSERT_TRUE(fec.ExtractData(clean, &corrected)) << where;
    ASSERT_EQ(corrected, 0) << where;
    ASSERT_EQ(FromBuffer(clean), data) << where;

    ReedSolomonLayout layout;
    ASSERT_TRUE(ReedSolomonMakeLayout(c.length, fec.GetParitySize(c.length), &layout));
    Bytes noisy = coded;
    int expected = 0;
    for (uint32_t i = 0; i < layout.blocks; ++i) {
      const ReedSolomonBlock block = layout.Block(i);
      const int limit = static_cast<int>(block.parityLength / 2);
      std::vector<uint32_t> places;
      for (uint32_t k = 0; k < block.dataLength; ++k) places.push_back(block.dataOffset + k);
      for (uint32_t k = 0; k < block.parityLength; ++k) places.push_back(block.parityOffset + k);
      for (int p : rng.Positions(limit, static_cast<int>(places.size())))
        noisy[places[p]] ^= static_cast<unsigned char>(rng.Int(1, 255));
      expected += limit;
    }
    CBufferBase<unsigned char> buffer = ToBuffer(noisy);
    ASSERT_TRUE(fec.ExtractData(buffer, &corrected)) << where;
    ASSERT_EQ(corrected, expected) << where;
    ASSERT_EQ(FromBuffer(buffer), data) << where;

    // More errors than the last block can take (in its data bytes, so that
    // they surely stay in that block): one more than half its parity, two
    // more for an odd parity count, whose code of even distance may still
    // find the codeword one error further. Only with parity enough for a
    // miscorrection to be out of the question: a short code beyond its
    // limit often lands on another codeword.
    const ReedSolomonBlock last = layout.Block(layout.blocks - 1);
    const int beyond = static_cast<int>(last.parityLength + 3) / 2;
    if (last.parityLength >= 20 && static_cast<uint32_t>(beyond) <= last.dataLength) {
      Bytes bad = coded;
      for (int p : rng.Positions(beyond, static_cast<int>(last.dataLength)))
        bad[last.dataOffset + p] ^= static_cast<unsigned char>(rng.Int(1, 255));
      CBufferBase<unsigned char> refused = ToBuffer(bad);
      if (!fec.ExtractData(refused, &corrected)) {
        EXPECT_EQ(refused.GetLength(), coded.size()) << where << ": a refused buffer keeps its length";
      } else {
        ADD_FAILURE() << where << ": " << beyond << " errors in a block of " << last.parityLength
                      << " parity bytes were taken as corrected";
      }
    }
  }
}

// Every block's parity is libfec's for that block's shortened code: an
// independent check of the layout and of each block's pad.
TEST(ReedSolomonBlockCodec, EveryBlockIsLibfecsCodeword) {
  Rng rng(1432);
  struct Case {
    int percent;
    uint32_t length;
  } cases[] = {{50, 400}, {25, 100}, {1, 505}, {10, 695}, {25, 608}, {100, 3000}, {255, 2000}, {3, 70000}};
  for (const Case& c : cases) {
    CReedSolomon fec = Percent(c.percent);
    const Bytes data = rng.Symbols(c.length, 8);
    const Bytes coded = Coded(fec, data);
    ReedSolomonLayout layout;
    ASSERT_TRUE(ReedSolomonMakeLayout(c.length, fec.GetParitySize(c.length), &layout));
    for (uint32_t i = 0; i < layout.blocks; ++i) {
      const ReedSolomonBlock block = layout.Block(i);
      if (block.parityLength == 0) continue;
      fectest::LibfecCodec theirs(
          {8, 0x11D, 1, 1, static_cast<int>(block.parityLength),
           255 - static_cast<int>(block.dataLength) - static_cast<int>(block.parityLength)});
      ASSERT_NE(theirs.get(), nullptr);
      Bytes blockData(coded.begin() + block.dataOffset, coded.begin() + block.dataOffset + block.dataLength);
      Bytes parity(block.parityLength);
      encode_rs_char(theirs.get(), blockData.data(), parity.data());
      ASSERT_TRUE(std::equal(parity.begin(), parity.end(), coded.begin() + block.parityOffset))
          << c.percent << " % of " << c.length << ", block " << i;
    }
  }
}

TEST(ReedSolomonBlockCodec, RefusalsAreLogged) {
  CReedSolomon fec = Percent(25);
  LogCapture log;
  CBufferBase<unsigned char> empty;
  EXPECT_FALSE(fec.ComputeFEC(empty));
  EXPECT_TRUE(log.Has("CReedSolomon::ComputeFEC buffer is empty"));
  EXPECT_FALSE(fec.ExtractData(empty, nullptr));
  EXPECT_TRUE(log.Has("CReedSolomon::ExtractData buffer is empty"));

  // 25 %: 124 bytes would need 99.2 data bytes; no data length codes to it.
  const Bytes odd(124, 0x11);
  CBufferBase<unsigned char> buffer = ToBuffer(odd);
  EXPECT_FALSE(fec.ExtractData(buffer, nullptr));
  EXPECT_TRUE(log.Has("CReedSolomon::ExtractData bad buffer size"));
  EXPECT_EQ(FromBuffer(buffer), odd);

  // An attached buffer without room for the parity keeps its memory and data.
  unsigned char memory[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  CBufferBase<unsigned char> tight(memory, 8, 8);
  EXPECT_FALSE(fec.ComputeFEC(tight));
  EXPECT_TRUE(log.Has("CReedSolomon::ComputeFEC failed alloc"));
  EXPECT_EQ(tight.GetData(), memory);
  EXPECT_EQ(tight.GetLength(), 8u);
}

// The data length is found exactly for every coded length: the plain
// ceil(L / (ratio + 1)) splits 34 bytes at 36 % as 26 + 8 instead of 25 + 9,
// and the decode of such a split "succeeds" with a parity byte in the data.
TEST(ReedSolomonBlockCodec, DataLengthIsFoundExactly) {
  Rng rng(1433);
  for (auto c : {std::pair<int, uint32_t>{36, 25}, {15, 60}}) {
    CReedSolomon fec = Percent(c.first);
    const Bytes data = rng.Symbols(c.second, 8);
    CBufferBase<unsigned char> buffer = ToBuffer(Coded(fec, data));
    ASSERT_TRUE(fec.ExtractData(buffer, nullptr));
    EXPECT_EQ(FromBuffer(buffer), data) << c.first << " % of " << c.second;
  }
}

// Garbage of every kind, placed flush against an inaccessible page, is
// refused or decoded without a read past its end.
TEST(ReedSolomonBlockCodec, GarbageNeverReadsPastTheBuffer) {
  SYSTEM_INFO info;
  ::GetSystemInfo(&info);
  const size_t page = info.dwPageSize;
  const size_t room = 16 * page;
  unsigned char* region = static_cast<unsigned char*>(
      ::VirtualAlloc(nullptr, room + page, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
  ASSERT_NE(region, nullptr);
  DWORD old = 0;
  ASSERT_TRUE(::VirtualProtect(region + room, page, PAGE_NOACCESS, &old));
  Rng rng(1434);
  {
    LogCapture quiet;  // keeps the refusals out of the console
    for (int k = 0; k < 400; ++k) {
      const uint32_t length = static_cast<uint32_t>(rng.Int(1, static_cast<int>(room)));
      unsigned char* at = region + room - length;
      for (uint32_t i = 0; i < length; ++i) at[i] = static_cast<unsigned char>(rng.Int(0, 255));
      CReedSolomon fec = Percent(rng.Int(0, 255));
      CBufferBase<unsigned char> view(at, length, length);
      int corrected = 0;
      if (fec.ExtractData(view, &corrected)) {
        EXPECT_LE(view.GetLength(), length);
      }
    }
  }
  ::VirtualFree(region, 0, MEM_RELEASE);
}

TEST(ReedSolomonBlockCodec, Configuration) {
  for (int percent = 0; percent <= 255; ++percent) {
    CReedSolomon fec = Percent(percent);
    CBufferBase<unsigned char> out(1);
    ASSERT_TRUE(fec.GetConfig(out));
    EXPECT_EQ(out[0], percent);
  }
  CReedSolomon fec = Percent(40);
  CBufferBase<unsigned char> two(2), none;
  for (CBufferBase<unsigned char>* wrong : {&two, &none}) {
    LogCapture log;
    EXPECT_FALSE(fec.SetConfig(*wrong));
    EXPECT_TRUE(log.Has("CReedSolomon::SetConfig bad size"));
  }
  {
    LogCapture log;
    EXPECT_FALSE(fec.GetConfig(none));
    EXPECT_TRUE(log.Has("CReedSolomon::GetConfig bad size"));
  }
  EXPECT_EQ(fec.GetParitySize(100), 40u) << "a refused configuration leaves the ratio";
  {
    LogCapture log;
    CReedSolomon badConfig(two);
    EXPECT_TRUE(log.Has("CReedSolomon::SetConfig bad size"));
    EXPECT_EQ(badConfig.GetParitySize(1000), 0u);
  }

  EXPECT_EQ(CReedSolomon(-0.5).GetParitySize(100), 0u);
  EXPECT_EQ(CReedSolomon(std::numeric_limits<double>::quiet_NaN()).GetParitySize(100), 0u);
  CReedSolomon capped(7.0);
  EXPECT_EQ(capped.GetParitySize(1000), Percent(255).GetParitySize(1000));
  CBufferBase<unsigned char> out(1);
  ASSERT_TRUE(capped.GetConfig(out));
  EXPECT_EQ(out[0], 255);
}

// The cache was built before main; eight threads asking for different root
// counts at once all get the one codec of each count, and code as one thread.
TEST(ReedSolomonCache, SharedByThreadsBuiltOnce) {
  EXPECT_EQ(GetReedSolomonCodec(0)->nroots, 0);
  {
    LogCapture log;
    EXPECT_EQ(GetReedSolomonCodec(254), nullptr);
    EXPECT_TRUE(log.Has("Bad Root count for reed-solomon"));
  }
  const int kThreads = 8;
  const int kPercents[kThreads] = {1, 9, 25, 33, 50, 100, 170, 255};
  Rng rng(1435);
  const Bytes data = rng.Symbols(3000, 8);
  std::vector<const ReedSolomonCodec*> seen[kThreads];
  std::atomic<int> started{0};
  std::vector<Bytes> results(kThreads);
  std::vector<std::unique_ptr<FnThread>> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.push_back(std::make_unique<FnThread>([&, t](FnThread&) {
      ++started;
      while (started.load() < kThreads) ::Sleep(0);  // start together, so that the first builds race
      for (int roots = 1 + t; roots <= 253; roots += 3) seen[t].push_back(GetReedSolomonCodec(roots));
      CReedSolomon fec = Percent(kPercents[t]);
      CBufferBase<unsigned char> buffer = ToBuffer(data);
      if (fec.ComputeFEC(buffer)) results[t] = FromBuffer(buffer);
      return 0;
    }));
  }
  for (auto& th : threads) ASSERT_EQ(th->Create(2), 0);
  for (auto& th : threads) th->Wait();
  for (int t = 0; t < kThreads; ++t) {
    CReedSolomon fec = Percent(kPercents[t]);
    EXPECT_EQ(results[t], Coded(fec, data)) << kPercents[t] << " %";
    size_t k = 0;
    for (int roots = 1 + t; roots <= 253; roots += 3, ++k) {
      ASSERT_NE(seen[t][k], nullptr);
      EXPECT_EQ(seen[t][k], GetReedSolomonCodec(roots)) << "roots " << roots;
      EXPECT_EQ(seen[t][k]->nroots, roots);
    }
  }
}

}  // namespace

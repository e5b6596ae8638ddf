// CReedSolomonRaw: the bit-string layout against libfec's parity, the
// global (4, 8, 8) instance exhaustively, refusals, and many threads on the
// one global instance.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>

#include "fec_test_util.h"
#include "support/child_process.h"
#include "support/fn_thread.h"
#include "support/log_capture.h"

using fectest::Code;
using fectest::LibfecCodec;
using fectest::OurCodec;
using fectest::Rng;

namespace {

// An independent model of the bit string: bit k is bit (k mod 8) of byte k / 8.
unsigned GetBits(const unsigned char* bytes, unsigned first, unsigned width) {
  unsigned v = 0;
  for (unsigned b = 0; b < width; ++b) v |= ((bytes[(first + b) / 8] >> ((first + b) % 8)) & 1u) << b;
  return v;
}

void SetBits(unsigned char* bytes, unsigned first, unsigned width, unsigned v) {
  for (unsigned b = 0; b < width; ++b) {
    unsigned char bit = static_cast<unsigned char>(1u << ((first + b) % 8));
    if ((v >> b) & 1u) {
      bytes[(first + b) / 8] |= bit;
    } else {
      bytes[(first + b) / 8] &= static_cast<unsigned char>(~bit);
    }
  }
}

struct RawLayout {
  unsigned m, dataBits, parityBits;
  unsigned DataSymbols() const { return (dataBits + m - 1) / m; }
  unsigned ParitySymbols() const { return parityBits / m; }
  unsigned DataBytes() const { return (dataBits + 7) / 8; }
  unsigned CodedBytes() const { return (dataBits + parityBits + 7) / 8; }
  // Symbol k's first bit and width in the string.
  unsigned First(unsigned k) const { return k < DataSymbols() ? k * m : dataBits + (k - DataSymbols()) * m; }
  unsigned Width(unsigned k) const { return k + 1 == DataSymbols() ? dataBits - k * m : m; }
  Code LibfecCode() const {
    const ReedSolomonParamRow& row = ReedSolomonParams[m - 2];
    return {static_cast<int>(m),
            row.fieldPolynomial,
            row.firstRoot,
            row.primitiveElement,
            static_cast<int>(ParitySymbols()),
            static_cast<int>((1u << m) - 1 - ParitySymbols() - DataSymbols())};
  }
  std::string Name() const {
    return "(" + std::to_string(m) + ", " + std::to_string(dataBits) + ", " + std::to_string(parityBits) +
           ")";
  }
};

// What the coded bytes must be: the data bits as they are, then libfec's
// parity of the data symbols.
std::vector<unsigned char> ReferenceCoding(const RawLayout& r, void* libfec, const unsigned char* data) {
  std::vector<unsigned char> symbols(r.DataSymbols() + r.ParitySymbols());
  for (unsigned k = 0; k < r.DataSymbols(); ++k)
    symbols[k] = static_cast<unsigned char>(GetBits(data, r.First(k), r.Width(k)));
  encode_rs_char(libfec, symbols.data(), symbols.data() + r.DataSymbols());
  std::vector<unsigned char> coded(r.CodedBytes(), 0);
  for (unsigned k = 0; k < symbols.size(); ++k) SetBits(coded.data(), r.First(k), r.Width(k), symbols[k]);
  return coded;
}

bool Compute(const CReedSolomonRaw& fec, std::vector<unsigned char>& bytes) {
  CBufferBase<unsigned char> buffer(static_cast<uint32_t>(bytes.size()));
  memcpy(buffer.GetData(), bytes.data(), bytes.size());
  if (!fec.ComputeFEC(buffer)) return false;
  bytes.assign(buffer.GetData(), buffer.GetData() + buffer.GetLength());
  return true;
}

// -1 when refused (the bytes must then be unchanged), else the count.
int Extract(const CReedSolomonRaw& fec, std::vector<unsigned char>& bytes) {
  CBufferBase<unsigned char> buffer(static_cast<uint32_t>(bytes.size()));
  memcpy(buffer.GetData(), bytes.data(), bytes.size());
  int corrected = -5;
  if (!fec.ExtractData(buffer, &corrected)) {
    EXPECT_EQ(0, memcmp(buffer.GetData(), bytes.data(), bytes.size()))
        << "a refused string must stay as it was";
    return -1;
  }
  bytes.assign(buffer.GetData(), buffer.GetData() + buffer.GetLength());
  return corrected;
}

// From before main until the process ends, exit handlers included: socket
// receivers may still code trailers while the process exits.
TEST(ReedSolomonRaw, GlobalInstanceLivesFromBeforeMainToTheEnd) {
  const CReedSolomonRaw* fec = GetGlobalRawFEC();
  ASSERT_NE(fec, nullptr);
  EXPECT_TRUE(fec->IsValid());
  EXPECT_EQ(fec->GetDataBytes(), 1u);
  EXPECT_EQ(fec->GetCodedBytes(), 2u);
  InitGlobalFEC();  // again: nothing changes
  EXPECT_EQ(GetGlobalRawFEC(), fec);

  testsupport::ChildProcess late;
  ASSERT_TRUE(late.Start("helper_fec_at_exit.exe", ""));
  EXPECT_EQ(0, late.Wait());
}

// Every byte codes as libfec's m = 4 code does; every single wrong nibble is
// corrected; every two-nibble pattern decodes exactly as libfec's decoder
// does, and a success is a real codeword of the string.
TEST(ReedSolomonRaw, GlobalInstanceExhaustively) {
  const CReedSolomonRaw& fec = *GetGlobalRawFEC();
  const RawLayout layout{4, 8, 8};
  const Code code = layout.LibfecCode();
  ASSERT_EQ(code.pad, 11);
  LibfecCodec theirs(code);
  OurCodec core(code);
  int refused = 0, miscorrected = 0;
  for (int value = 0; value < 256; ++value) {
    const unsigned char byte = static_cast<unsigned char>(value);
    std::vector<unsigned char> coded{byte};
    ASSERT_TRUE(Compute(fec, coded));
    ASSERT_EQ(coded, ReferenceCoding(layout, theirs.get(), &byte)) << "byte " << value;
    std::vector<unsigned char> back = coded;
    ASSERT_EQ(Extract(fec, back), 0);
    ASSERT_EQ(back, std::vector<unsigned char>{byte});

    for (int nibble = 0; nibble < 4; ++nibble) {
      for (int e = 1; e < 16; ++e) {
        std::vector<unsigned char> bad = coded;
        bad[nibble / 2] ^= static_cast<unsigned char>(e << (4 * (nibble % 2)));
        ASSERT_EQ(Extract(fec, bad), 1) << "byte " << value << " nibble " << nibble << " error " << e;
        ASSERT_EQ(bad, std::vector<unsigned char>{byte});
      }
    }

    for (int n1 = 0; n1 < 4; ++n1) {
      for (int n2 = n1 + 1; n2 < 4; ++n2) {
        for (int e1 = 1; e1 < 16; ++e1) {
          for (int e2 = 1; e2 < 16; ++e2) {
            std::vector<unsigned char> bad = coded;
            bad[n1 / 2] ^= static_cast<unsigned char>(e1 << (4 * (n1 % 2)));
            bad[n2 / 2] ^= static_cast<unsigned char>(e2 << (4 * (n2 % 2)));
            unsigned char a[4], b[4];
            for (int k = 0; k < 4; ++k)
              a[k] = b[k] = static_cast<unsigned char>((bad[k / 2] >> (4 * (k % 2))) & 15);
            const int ra = ReedSolomonDecode(core.get(), a, nullptr, 0);
            const int rb = fectest::LibfecDecode(theirs.get(), b, nullptr);
            ASSERT_EQ(ra, rb) << "byte " << value << " nibbles " << n1 << "," << n2 << " errors " << e1 << ","
                              << e2;
            ASSERT_EQ(0, memcmp(a, b, 4));
            const int r = Extract(fec, bad);
            ASSERT_EQ(r, ra);
            if (r < 0) {
              ++refused;
            } else {
              ++miscorrected;
              ASSERT_EQ(bad[0], static_cast<unsigned char>(a[0] | (a[1] << 4)));
              std::vector<unsigned char> recoded = bad;
              ASSERT_TRUE(Compute(fec, recoded));
              ASSERT_EQ(recoded[1], static_cast<unsigned char>(a[2] | (a[3] << 4))) << "not a codeword";
            }
          }
        }
      }
    }
  }
  EXPECT_EQ(refused + miscorrected, 345600);
  // A distance-3 code cannot tell the rest from one wrong nibble of another codeword.
  EXPECT_EQ(refused, 299520);
}

TEST(ReedSolomonRaw, OtherLayoutsMatchLibfec) {
  const RawLayout layouts[] = {{2, 3, 2}, {3, 12, 6}, {5, 10, 10}, {6, 18, 12}, {8, 24, 32}, {4, 6, 8}};
  Rng rng(1410);
  for (const RawLayout& r : layouts) {
    CReedSolomonRaw fec(r.m, r.dataBits, r.parityBits);
    ASSERT_TRUE(fec.IsValid()) << r.Name();
    ASSERT_EQ(fec.GetDataBytes(), r.DataBytes());
    ASSERT_EQ(fec.GetCodedBytes(), r.CodedBytes());
    LibfecCodec theirs(r.LibfecCode());
    const bool everyValue = r.dataBits <= 12;
    const int count = everyValue ? 1 << r.dataBits : 3000;
    for (int k = 0; k < count; ++k) {
      std::vector<unsigned char> data(r.DataBytes());
      for (auto& x : data) x = static_cast<unsigned char>(rng.Int(0, 255));
      if (everyValue) {
        for (unsigned b = 0; b < r.DataBytes(); ++b) data[b] = static_cast<unsigned char>(k >> (8 * b));
      }
      std::vector<unsigned char> coded = data;
      ASSERT_TRUE(Compute(fec, coded));
      const std::string where =
          r.Name() + " seed " + std::to_string(rng.Seed()) + " value " + std::to_string(k);
      ASSERT_EQ(coded, ReferenceCoding(r, theirs.get(), data.data())) << where;

      // The data bits come back; bits of the last byte beyond them are 0.
      std::vector<unsigned char> expected(r.DataBytes(), 0);
      for (unsigned b = 0; b < r.dataBits; ++b) SetBits(expected.data(), b, 1, GetBits(data.data(), b, 1));
      std::vector<unsigned char> back = coded;
      ASSERT_EQ(Extract(fec, back), 0) << where;
      ASSERT_EQ(back, expected) << where;

      // One wrong symbol anywhere in the string is corrected when the code
      // can correct one.
      if (r.ParitySymbols() >= 2) {
        const unsigned symbols = r.DataSymbols() + r.ParitySymbols();
        const unsigned s = static_cast<unsigned>(rng.Int(0, symbols - 1));
        const unsigned width = s < r.DataSymbols() ? r.Width(s) : r.m;
        std::vector<unsigned char> bad = coded;
        SetBits(bad.data(), r.First(s), width,
                GetBits(bad.data(), r.First(s), width) ^ static_cast<unsigned>(rng.Int(1, (1 << width) - 1)));
        ASSERT_EQ(Extract(fec, bad), 1) << where << " symbol " << s;
        ASSERT_EQ(bad, expected) << where << " symbol " << s;
      }
    }
  }
}

// With 3 data bits and m = 2 the second data symbol is 1 bit wide: input bits
// above bit 2 are ignored and the parity starts at bit 3 of byte 0.
TEST(ReedSolomonRaw, ShortLastDataSymbol) {
  CReedSolomonRaw fec(2, 3, 2);
  std::vector<unsigned char> a{0x05}, b{0xFD};
  ASSERT_TRUE(Compute(fec, a));
  ASSERT_TRUE(Compute(fec, b));
  EXPECT_EQ(a, b);
  ASSERT_EQ(a.size(), 1u);
  EXPECT_EQ(a[0] & 0x07, 0x05);
  EXPECT_EQ(a[0] & 0xE0, 0);
  LibfecCodec theirs(RawLayout{2, 3, 2}.LibfecCode());
  unsigned char symbols[3] = {1, 1, 0};
  encode_rs_char(theirs.get(), symbols, symbols + 2);
  EXPECT_EQ((a[0] >> 3) & 3, symbols[2]);
}

// Bits of the last data symbol above the data bits are never sent: a
// "correction" that sets them is no correction. Every success must be the
// coding of the data it returns, within `count` wrong symbols of what came in.
TEST(ReedSolomonRaw, SuccessIsAlwaysTheCodingOfItsData) {
  const RawLayout r{4, 6, 8};
  CReedSolomonRaw fec(r.m, r.dataBits, r.parityBits);
  int successes = 0, refusals = 0;
  for (unsigned value = 0; value < 64; ++value) {
    std::vector<unsigned char> coded{static_cast<unsigned char>(value)};
    ASSERT_TRUE(Compute(fec, coded));
    for (unsigned pattern = 1; pattern < (1u << 14); ++pattern) {
      std::vector<unsigned char> bad = coded;
      SetBits(bad.data(), 0, 14, GetBits(bad.data(), 0, 14) ^ pattern);
      const std::vector<unsigned char> received = bad;
      const int r2 = Extract(fec, bad);
      if (r2 < 0) {
        ++refusals;
        continue;
      }
      ++successes;
      std::vector<unsigned char> recoded = bad;
      ASSERT_TRUE(Compute(fec, recoded));
      int differing = 0;
      for (unsigned k = 0; k < 4; ++k)
        differing += GetBits(recoded.data(), r.First(k), r.Width(k)) !=
                     GetBits(received.data(), r.First(k), r.Width(k));
      ASSERT_EQ(differing, r2) << "value " << value << " pattern " << pattern;
    }
  }
  EXPECT_GT(successes, 0);
  EXPECT_GT(refusals, 0);
}

TEST(ReedSolomonRaw, RefusalsAreLogged) {
  struct Case {
    unsigned m, dataBits, parityBits;
    const char* message;
  } cases[] = {
      {9, 8, 9, "CReedSolomonRaw::CReedSolomonRaw bad symbol size"},
      {1, 8, 8, "CReedSolomonRaw::CReedSolomonRaw bad symbol size"},
      {4, 8, 6, "CReedSolomonRaw::CReedSolomonRaw bad roots size"},
      {2, 10, 2, "Bad data+root bit size !"},
  };
  for (const Case& c : cases) {
    LogCapture log;
    CReedSolomonRaw fec(c.m, c.dataBits, c.parityBits);
    EXPECT_FALSE(fec.IsValid());
    EXPECT_TRUE(log.Has(c.message)) << c.message;
    CBufferBase<unsigned char> buffer(1);
    buffer[0] = 0;
    EXPECT_FALSE(fec.ComputeFEC(buffer));
    EXPECT_FALSE(fec.ExtractData(buffer, nullptr));
    EXPECT_EQ(log.Lines().size(), 1u) << "the coding calls of a failed codec add no message";
  }
}

TEST(ReedSolomonRaw, BufferSizes) {
  const CReedSolomonRaw& fec = *GetGlobalRawFEC();
  LogCapture log;
  CBufferBase<unsigned char> two(2);
  two[0] = two[1] = 0;
  EXPECT_FALSE(fec.ComputeFEC(two));
  EXPECT_TRUE(log.Has("CReedSolomonRaw::ComputeFEC bad buffer size"));
  CBufferBase<unsigned char> one(1);
  one[0] = 0x42;
  EXPECT_FALSE(fec.ExtractData(one, nullptr));
  EXPECT_TRUE(log.Has("CReedSolomonRaw::ExtractData bad buffer size"));

  // A view that cannot grow is refused, not swapped for other memory.
  unsigned char memory[2] = {0x42, 0x99};
  CBufferBase<unsigned char> tight(memory, 1, 1);
  EXPECT_FALSE(fec.ComputeFEC(tight));
  EXPECT_TRUE(log.Has("CReedSolomonRaw::ComputeFEC buffer size can not be changed"));
  EXPECT_EQ(tight.GetData(), memory);
  EXPECT_EQ(memory[1], 0x99);

  // The RAW trailer's way: a 1-byte view with room for 2 grows in place, and
  // the 2-byte view shrinks back to 1.
  CBufferBase<unsigned char> view(memory, 1, 2);
  ASSERT_TRUE(fec.ComputeFEC(view));
  EXPECT_EQ(view.GetData(), memory);
  EXPECT_EQ(view.GetLength(), 2u);
  EXPECT_EQ(memory[0], 0x42);
  memory[0] ^= 0x08;
  int corrected = 0;
  ASSERT_TRUE(fec.ExtractData(view, &corrected));
  EXPECT_EQ(view.GetLength(), 1u);
  EXPECT_EQ(memory[0], 0x42);
  EXPECT_EQ(corrected, 1);
}

// The one global instance is shared by every socket thread: four threads
// coding and decoding at once must each see exactly the single-thread results.
TEST(ReedSolomonRaw, GlobalInstanceOnManyThreadsAtOnce) {
  const CReedSolomonRaw& fec = *GetGlobalRawFEC();
  unsigned char table[256][2];
  for (int v = 0; v < 256; ++v) {
    std::vector<unsigned char> coded{static_cast<unsigned char>(v)};
    ASSERT_TRUE(Compute(fec, coded));
    table[v][0] = coded[0];
    table[v][1] = coded[1];
  }
  std::atomic<int> mismatches{0};
  std::atomic<int> started{0};
  std::vector<std::unique_ptr<FnThread>> threads;
  for (int t = 0; t < 4; ++t) {
    threads.push_back(std::make_unique<FnThread>([&, t](FnThread&) {
      ++started;
      while (started.load() < 4) ::Sleep(0);  // start together, so that the calls overlap
      Rng rng(1420 + t);
      unsigned char bytes[2];
      CBufferBase<unsigned char> view;
      for (int i = 0; i < 20000; ++i) {
        const int v = rng.Int(0, 255);
        bytes[0] = static_cast<unsigned char>(v);
        view.Attach(bytes, 1, 2);
        if (!fec.ComputeFEC(view) || bytes[0] != table[v][0] || bytes[1] != table[v][1]) ++mismatches;
        const int nibble = rng.Int(0, 3);
        bytes[nibble / 2] ^= static_cast<unsigned char>(rng.Int(1, 15) << (4 * (nibble % 2)));
        view.Attach(bytes, 2, 2);
        int corrected = 0;
        if (!fec.ExtractData(view, &corrected) || corrected != 1 || bytes[0] != v) ++mismatches;
      }
      return 0;
    }));
  }
  for (auto& th : threads) ASSERT_EQ(th->Create(2), 0);
  for (auto& th : threads) th->Wait();
  EXPECT_EQ(mismatches.load(), 0);
}

}  // namespace

// The codec core against libfec's general codec with the same six numbers
// (codewords and decodes must be identical), and on its own.
#include <gtest/gtest.h>

#include <set>

#include "fec_test_util.h"

using fectest::Code;
using fectest::LibfecCodec;
using fectest::OurCodec;
using fectest::Rng;

namespace {

// The codes of the cross-checks: 8 bits over the roots counts the block codec
// uses, every parameter row of 2..8 bits with random roots and pads, and one
// with fcr != 1 and iprim != 1.
std::vector<Code> CrossCheckCodes(Rng& rng) {
  std::vector<Code> codes;
  for (int roots : {1, 2, 4, 16, 25, 32, 66, 128, 253}) {
    for (int k = 0; k < 3; ++k) codes.push_back({8, 0x11D, 1, 1, roots, rng.Int(0, 254 - roots)});
  }
  for (int bits = 2; bits <= 8; ++bits) {
    const ReedSolomonParamRow& row = ReedSolomonParams[bits - 2];
    const int nn = (1 << bits) - 1;
    for (int k = 0; k < 4; ++k) {
      int roots = rng.Int(1, nn - 1);
      codes.push_back({bits, row.fieldPolynomial, row.firstRoot, row.primitiveElement, roots,
                       rng.Int(0, nn - roots - 1)});
    }
  }
  codes.push_back({8, 0x187, 112, 11, 32, 0});
  return codes;
}

TEST(ReedSolomonCore, ParityEqualsLibfec) {
  Rng rng(1401);
  for (const Code& c : CrossCheckCodes(rng)) {
    OurCodec ours(c);
    LibfecCodec theirs(c);
    ASSERT_NE(ours.get(), nullptr) << c.Name();
    ASSERT_NE(theirs.get(), nullptr) << c.Name();
    for (int k = 0; k < 8; ++k) {
      std::vector<unsigned char> data = rng.Symbols(c.DataLength(), c.mm);
      std::vector<unsigned char> a(c.roots), b(c.roots);
      ReedSolomonEncode(ours.get(), data.data(), a.data());
      encode_rs_char(theirs.get(), data.data(), b.data());
      ASSERT_EQ(a, b) << c.Name() << " seed " << rng.Seed() << " word " << k;
    }
  }
}

TEST(ReedSolomonCore, DecodeWithinTheLimitEqualsLibfec) {
  Rng rng(1402);
  for (const Code& c : CrossCheckCodes(rng)) {
    OurCodec ours(c);
    LibfecCodec theirs(c);
    for (int k = 0; k < 6; ++k) {
      const std::vector<unsigned char> word = fectest::RandomCodeword(ours.get(), c, rng);
      const int errors = rng.Int(0, c.roots / 2);
      std::vector<unsigned char> a = word;
      rng.Corrupt(a, errors, c.mm);
      std::vector<unsigned char> b = a;
      std::vector<int> pa(c.roots + 1, -7), pb(c.roots + 1, -7);
      const int ra = ReedSolomonDecode(ours.get(), a.data(), pa.data(), 0);
      const int rb = fectest::LibfecDecode(theirs.get(), b.data(), pb.data());
      const std::string where = c.Name() + " seed " + std::to_string(rng.Seed()) + " errors " +
                                std::to_string(errors) + " word " + std::to_string(k);
      ASSERT_EQ(ra, errors) << where;
      ASSERT_EQ(rb, errors) << where;
      ASSERT_EQ(a, word) << where;
      ASSERT_EQ(b, word) << where;
      EXPECT_EQ(std::set<int>(pa.begin(), pa.begin() + ra), std::set<int>(pb.begin(), pb.begin() + rb))
          << where;
    }
  }
}

// Beyond the limit libfec's general decoder "corrects" whatever locator has
// all its roots, up to nroots errors; ours refuses every locator of more than
// nroots / 2. So each result must be libfec's, except a refusal where libfec
// corrected more than that; every success must be a codeword. Small codes with
// large pads are where a location inside the pad, or a locator of the wrong
// degree, turns up most.
TEST(ReedSolomonCore, DecodeBeyondTheLimitEqualsLibfec) {
  const Code codes[] = {
      {8, 0x11D, 1, 1, 2, 240},  {8, 0x11D, 1, 1, 4, 230},  {4, 0x13, 1, 1, 2, 11},
      {4, 0x13, 1, 1, 4, 5},     {5, 0x25, 1, 1, 4, 20},    {8, 0x11D, 1, 1, 10, 0},
      {8, 0x11D, 1, 1, 10, 200}, {8, 0x11D, 1, 1, 32, 100}, {8, 0x187, 112, 11, 4, 200},
  };
  Rng rng(1403);
  for (const Code& c : codes) {
    OurCodec ours(c);
    LibfecCodec theirs(c);
    ASSERT_NE(ours.get(), nullptr) << c.Name();
    int failures = 0;
    for (int k = 0; k < 2000; ++k) {
      const std::vector<unsigned char> word = fectest::RandomCodeword(ours.get(), c, rng);
      const int errors = rng.Int(c.roots / 2 + 1, std::min(c.roots, c.Length()));
      std::vector<unsigned char> a = word;
      rng.Corrupt(a, errors, c.mm);
      std::vector<unsigned char> b = a;
      const std::vector<unsigned char> received = a;
      const int ra = ReedSolomonDecode(ours.get(), a.data(), nullptr, 0);
      const int rb = fectest::LibfecDecode(theirs.get(), b.data(), nullptr);
      const std::string where = c.Name() + " seed " + std::to_string(rng.Seed()) + " pattern " +
                                std::to_string(k) + " libfec " + std::to_string(rb);
      if (rb > c.roots / 2) {
        ASSERT_EQ(ra, -1) << where;
      } else {
        ASSERT_EQ(ra, rb) << where;
        ASSERT_EQ(a, b) << where;
      }
      if (ra < 0) {
        ++failures;
        ASSERT_EQ(a, received) << where << ": a refused block must stay as received";
      } else {
        std::vector<unsigned char> again = a;
        ASSERT_EQ(ReedSolomonDecode(ours.get(), again.data(), nullptr, 0), 0) << where << ": not a codeword";
      }
    }
    EXPECT_GT(failures, 0) << c.Name();
  }
}

// One more error than the code corrects is refused, or lands within
// nroots / 2 symbols of another codeword; never a "correction" of more.
// With one root every single error is detected and refused: a distance-2
// code corrects nothing.
TEST(ReedSolomonCore, NeverCorrectsMoreThanHalfTheRoots) {
  Rng rng(1405);
  for (int roots : {1, 2, 3, 5, 8}) {
    const Code c{8, 0x11D, 1, 1, roots, 0};
    OurCodec ours(c);
    ASSERT_NE(ours.get(), nullptr);
    int refused = 0;
    for (int k = 0; k < 3000; ++k) {
      std::vector<unsigned char> block = fectest::RandomCodeword(ours.get(), c, rng);
      rng.Corrupt(block, roots / 2 + 1, 8);
      const std::vector<unsigned char> received = block;
      const int r = ReedSolomonDecode(ours.get(), block.data(), nullptr, 0);
      const std::string where = c.Name() + " seed " + std::to_string(rng.Seed()) + " pattern " +
                                std::to_string(k) + " result " + std::to_string(r);
      if (r < 0) {
        ++refused;
        ASSERT_EQ(block, received) << where;
      } else {
        ASSERT_LE(r, roots / 2) << where;
      }
    }
    if (roots == 1) {
      EXPECT_EQ(refused, 3000);
    }
  }
}

TEST(ReedSolomonCore, FarBeyondTheLimitIsAlwaysRefused) {
  const Code c{8, 0x11D, 1, 1, 32, 0};
  OurCodec ours(c);
  Rng rng(1404);
  for (int k = 0; k < 300; ++k) {
    std::vector<unsigned char> block = fectest::RandomCodeword(ours.get(), c, rng);
    const int errors = rng.Int(17, 40);
    rng.Corrupt(block, errors, 8);
    const std::vector<unsigned char> received = block;
    ASSERT_EQ(ReedSolomonDecode(ours.get(), block.data(), nullptr, 0), -1)
        << "seed " << rng.Seed() << " pattern " << k << " errors " << errors;
    ASSERT_EQ(block, received);
  }
}

TEST(ReedSolomonCore, InitRefusesBadParameters) {
  const Code refused[] = {
      {0, 0x3, 1, 1, 0, 0},     {-1, 0x3, 1, 1, 0, 0},    {9, 0x211, 1, 1, 4, 0},
      {8, 0x11D, -1, 1, 4, 0},  {8, 0x11D, 256, 1, 4, 0}, {8, 0x11D, 1, 0, 4, 0},
      {8, 0x11D, 1, 256, 4, 0}, {8, 0x11D, 1, 255, 4, 0},  // no inverse modulo 255
      {4, 0x13, 1, 3, 2, 0},                               // gcd(3, 15) = 3
      {8, 0x11D, 1, 1, 256, 0}, {8, 0x11D, 1, 1, -1, 0},  {8, 0x11D, 1, 1, 4, -1},
      {8, 0x11D, 1, 1, 4, 251},  // pad = nn - roots
      {4, 0x11, 1, 1, 2, 0},     // reducible
      {8, 0x11B, 1, 1, 4, 0},    // irreducible, x of order 51
      {4, 0x1F, 1, 1, 2, 0},     // irreducible, x of order 5
  };
  for (const Code& c : refused) {
    ReedSolomonCodec* codec = ReedSolomonInit(c.mm, c.poly, c.fcr, c.prim, c.roots, c.pad);
    EXPECT_EQ(codec, nullptr) << c.Name();
    ReedSolomonFree(codec);
  }
  for (int bits = 2; bits <= 8; ++bits) {
    const ReedSolomonParamRow& row = ReedSolomonParams[bits - 2];
    EXPECT_EQ(row.symbolBits, bits);
    EXPECT_EQ(row.dataSymbols, (1 << bits) - 1 - row.roots);
    ReedSolomonCodec* codec =
        ReedSolomonInit(bits, row.fieldPolynomial, row.firstRoot, row.primitiveElement, row.roots, 0);
    EXPECT_NE(codec, nullptr) << "row " << bits;
    ReedSolomonFree(codec);
  }
}

TEST(ReedSolomonCore, ErasuresAndEmptyCodesTouchNothing) {
  const Code c{8, 0x11D, 1, 1, 8, 100};
  OurCodec ours(c);
  Rng rng(1405);
  std::vector<unsigned char> block = fectest::RandomCodeword(ours.get(), c, rng);
  block[3] ^= 0x55;
  const std::vector<unsigned char> received = block;
  int positions[8] = {3, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(ReedSolomonDecode(ours.get(), block.data(), positions, 1), -1);
  EXPECT_EQ(block, received);
  EXPECT_EQ(positions[0], 3);

  // No roots: nothing is written, every block is clean.
  OurCodec none(Code{8, 0x11D, 1, 1, 0, 0});
  ASSERT_NE(none.get(), nullptr);
  unsigned char data[255] = {1, 2, 3};
  unsigned char parity[1] = {0xAB};
  ReedSolomonEncode(none.get(), data, parity);
  EXPECT_EQ(parity[0], 0xAB);
  EXPECT_EQ(ReedSolomonDecode(none.get(), data, nullptr, 0), 0);
  EXPECT_EQ(data[0], 1);
}

}  // namespace

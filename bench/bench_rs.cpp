// The Reed-Solomon codecs side by side with libfec's general codec in the
// same run: RS(255, 223) encode, clean decode and decode with 16 symbol
// errors, in interleaved rounds (the ratio of a round is ours / libfec's);
// then the block codec, the raw codec and codec construction on their own.
//
// Usage: bench_rs. Exits non-zero only when a set-up check finds the two
// codecs disagreeing; the figures are never judged.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <random>
#include <vector>

#include "bench/bench_clock.h"
#include "support/libfec_rs.h"
#include "tvlib/buffers/buffer.h"
#include "tvlib/fec/reed_solomon.h"
#include "tvlib/fec/reed_solomon_codec.h"
#include "tvlib/win.h"

#ifndef BENCH_BUILD_TYPE
#define BENCH_BUILD_TYPE "unknown"
#endif

namespace {

const int kWords = 512;
const int kData = 223;
const int kRoots = 32;
const int kErrors = 16;
const int kRounds = 7;
const double kMinSeconds = 0.3;

uint32_t g_checksum = 0;  // every output is folded in, so nothing is optimised away

double Seconds() { return bench::Seconds(bench::Now()); }

void Fold(const unsigned char* p, size_t n) {
  for (size_t i = 0; i < n; ++i) g_checksum = g_checksum * 31 + p[i];
}

// Runs `pass` (one pass over all codewords) until at least kMinSeconds have
// gone; returns MB/s of data bytes.
double Throughput(const std::function<void()>& pass) {
  double start = Seconds(), now;
  long passes = 0;
  do {
    pass();
    ++passes;
    now = Seconds();
  } while (now - start < kMinSeconds);
  return passes * static_cast<double>(kWords) * kData / (now - start) / 1e6;
}

struct Comparison {
  const char* name;
  std::function<void()> ours;
  std::function<void()> theirs;
};

void Compare(const Comparison& c) {
  double bestOurs = 0, bestTheirs = 0;
  std::vector<double> ratios;
  for (int round = 0; round < kRounds; ++round) {
    double a, b;
    if (round % 2 == 0) {
      a = Throughput(c.ours);
      b = Throughput(c.theirs);
    } else {
      b = Throughput(c.theirs);
      a = Throughput(c.ours);
    }
    bestOurs = std::max(bestOurs, a);
    bestTheirs = std::max(bestTheirs, b);
    ratios.push_back(a / b);
  }
  printf("%-28s ours %8.2f MB/s   libfec %8.2f MB/s   median ratio %.2fx\n", c.name, bestOurs, bestTheirs,
         bench::Summarise(ratios).median);
}

// ns (or us) per call of `op`, best of 5 runs of `calls` calls.
double PerCall(int calls, const std::function<void()>& op) {
  double best = 1e30;
  for (int run = 0; run < 5; ++run) {
    double t0 = Seconds();
    for (int i = 0; i < calls; ++i) op();
    best = std::min(best, (Seconds() - t0) / calls);
  }
  return best;
}

int Fail(const char* what, int word) {
  printf("SET-UP CHECK FAILED: %s (codeword %d)\n", what, word);
  return 1;
}

}  // namespace

int main() {
  printf("compiler: gcc %s, build type %s\n", __VERSION__, BENCH_BUILD_TYPE);

  ReedSolomonCodec* ours = ReedSolomonInit(8, 0x11D, 1, 1, kRoots, 0);
  void* theirs = init_rs_char(8, 0x11D, 1, 1, kRoots, 0);
  if (ours == nullptr || theirs == nullptr) return Fail("codec construction", -1);

  // 512 codewords of fixed data, and 16-error copies of each prepared once.
  std::mt19937 rng(20240614);
  std::vector<unsigned char> words(kWords * 255), corrupted(kWords * 255), work(kWords * 255);
  for (int w = 0; w < kWords; ++w) {
    unsigned char* word = &words[w * 255];
    for (int i = 0; i < kData; ++i) word[i] = static_cast<unsigned char>(rng());
    unsigned char theirParity[kRoots];
    ReedSolomonEncode(ours, word, word + kData);
    encode_rs_char(theirs, word, theirParity);
    if (memcmp(word + kData, theirParity, kRoots) != 0) return Fail("parity differs from libfec's", w);
    unsigned char* bad = &corrupted[w * 255];
    memcpy(bad, word, 255);
    int positions[255];
    for (int i = 0; i < 255; ++i) positions[i] = i;
    for (int e = 0; e < kErrors; ++e) {
      std::swap(positions[e], positions[e + rng() % (255 - e)]);
      bad[positions[e]] ^= static_cast<unsigned char>(1 + rng() % 255);
    }
  }
  for (int w = 0; w < kWords; ++w) {
    unsigned char a[255], b[255];
    memcpy(a, &words[w * 255], 255);
    memcpy(b, a, 255);
    if (ReedSolomonDecode(ours, a, nullptr, 0) != 0 || decode_rs_char(theirs, b, nullptr, 0) != 0)
      return Fail("clean decode does not return 0", w);
    memcpy(a, &corrupted[w * 255], 255);
    memcpy(b, a, 255);
    if (ReedSolomonDecode(ours, a, nullptr, 0) != kErrors || decode_rs_char(theirs, b, nullptr, 0) != kErrors)
      return Fail("16-error decode does not return 16", w);
    if (memcmp(a, &words[w * 255], 255) != 0 || memcmp(b, &words[w * 255], 255) != 0)
      return Fail("16-error decode does not restore the codeword", w);
  }
  printf("set-up checks passed: %d codewords, parity and decodes identical to libfec\n\n", kWords);

  printf("RS(255, 223), one thread, %d rounds of >= %.1f s each side, MB/s of data (10^6 bytes)\n", kRounds,
         kMinSeconds);
  unsigned char parity[kRoots];
  int sum = 0;
  Compare({"encode",
           [&] {
             for (int w = 0; w < kWords; ++w) {
               ReedSolomonEncode(ours, &words[w * 255], parity);
               Fold(parity, 1);
             }
           },
           [&] {
             for (int w = 0; w < kWords; ++w) {
               encode_rs_char(theirs, &words[w * 255], parity);
               Fold(parity, 1);
             }
           }});
  Compare({"decode, clean",
           [&] {
             for (int w = 0; w < kWords; ++w) sum += ReedSolomonDecode(ours, &words[w * 255], nullptr, 0);
           },
           [&] {
             for (int w = 0; w < kWords; ++w) sum += decode_rs_char(theirs, &words[w * 255], nullptr, 0);
           }});
  Compare({"decode, 16 errors",
           [&] {
             for (int w = 0; w < kWords; ++w) {
               memcpy(&work[w * 255], &corrupted[w * 255], 255);
               sum += ReedSolomonDecode(ours, &work[w * 255], nullptr, 0);
             }
           },
           [&] {
             for (int w = 0; w < kWords; ++w) {
               memcpy(&work[w * 255], &corrupted[w * 255], 255);
               sum += decode_rs_char(theirs, &work[w * 255], nullptr, 0);
             }
           }});

  // The block codec at 25 % of 64 KiB.
  printf("\nCReedSolomon, 25 %% of 64 KiB (MB/s of data)\n");
  {
    const uint32_t kLength = 65536;
    CReedSolomon fec(0.25);
    std::vector<unsigned char> data(kLength);
    for (auto& x : data) x = static_cast<unsigned char>(rng());
    CBufferBase<unsigned char> coded(kLength);
    memcpy(coded.GetData(), data.data(), kLength);
    if (!fec.ComputeFEC(coded)) return Fail("CReedSolomon::ComputeFEC", -1);
    const uint32_t codedLength = coded.GetLength();
    std::vector<unsigned char> clean(coded.GetData(), coded.GetData() + codedLength);
    // Errors within the limit of every block: one wrong byte in every 20
    // (a block of at most 255 bytes carries at least 25 % parity).
    std::vector<unsigned char> noisy = clean;
    for (uint32_t i = 0; i < codedLength; i += 20) noisy[i] ^= 0x5A;
    int corrected = 0;
    CBufferBase<unsigned char> check(codedLength);
    memcpy(check.GetData(), noisy.data(), codedLength);
    if (!fec.ExtractData(check, &corrected) || check.GetLength() != kLength ||
        memcmp(check.GetData(), data.data(), kLength) != 0)
      return Fail("CReedSolomon::ExtractData with errors", -1);

    CBufferBase<unsigned char> buffer(codedLength);
    auto mbps = [&](const std::function<void()>& op) {
      const int calls = 20;
      return kLength / PerCall(calls, op) / 1e6;
    };
    double computeRate = mbps([&] {
      buffer.SetLength(kLength);
      memcpy(buffer.GetData(), data.data(), kLength);
      fec.ComputeFEC(buffer);
      Fold(buffer.GetData() + kLength, 1);
    });
    double cleanRate = mbps([&] {
      buffer.SetLength(codedLength);
      memcpy(buffer.GetData(), clean.data(), codedLength);
      sum += fec.ExtractData(buffer, &corrected) ? corrected : -1;
    });
    double noisyRate = mbps([&] {
      buffer.SetLength(codedLength);
      memcpy(buffer.GetData(), noisy.data(), codedLength);
      sum += fec.ExtractData(buffer, &corrected) ? corrected : -1;
    });
    printf("  ComputeFEC %8.2f MB/s   ExtractData clean %8.2f MB/s   with %d errors %8.2f MB/s\n",
           computeRate, cleanRate, (codedLength + 19) / 20, noisyRate);
  }

  // The raw codec of the RAW trailer.
  printf("\nCReedSolomonRaw (4, 8, 8), the global instance (ns per call)\n");
  {
    const CReedSolomonRaw* raw = GetGlobalRawFEC();
    if (raw == nullptr) return Fail("no global raw codec", -1);
    unsigned char bytes[2];
    CBufferBase<unsigned char> view;
    int corrected = 0;
    unsigned char value = 0;
    double compute = PerCall(200000, [&] {
      bytes[0] = value++;
      view.Attach(bytes, 1, 2);
      raw->ComputeFEC(view);
      Fold(bytes + 1, 1);
    });
    bytes[0] = 0x3C;
    view.Attach(bytes, 1, 2);
    raw->ComputeFEC(view);
    const unsigned char coded[2] = {bytes[0], bytes[1]};
    double cleanCall = PerCall(200000, [&] {
      memcpy(bytes, coded, 2);
      view.Attach(bytes, 2, 2);
      sum += raw->ExtractData(view, &corrected) ? corrected : -1;
    });
    double wrongCall = PerCall(200000, [&] {
      memcpy(bytes, coded, 2);
      bytes[1] ^= 0x30;
      view.Attach(bytes, 2, 2);
      sum += raw->ExtractData(view, &corrected) ? corrected : -1;
    });
    printf("  ComputeFEC %6.1f ns   ExtractData clean %6.1f ns   one wrong nibble %6.1f ns\n", compute * 1e9,
           cleanCall * 1e9, wrongCall * 1e9);
  }

  printf("\nReedSolomonInit(8, 0x11D, 1, 1, 32, 0): %.2f us\n", PerCall(2000, [&] {
                                                                  ReedSolomonCodec* c =
                                                                      ReedSolomonInit(8, 0x11D, 1, 1, 32, 0);
                                                                  Fold(c->genpoly, 1);
                                                                  ReedSolomonFree(c);
                                                                }) * 1e6);

  printf("\nchecksum %08X %d\n", g_checksum, sum);
  ReedSolomonFree(ours);
  free_rs_char(theirs);
  return 0;
}

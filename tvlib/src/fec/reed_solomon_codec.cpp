#include "tvlib/fec/reed_solomon_codec.h"

#include <cstdlib>
#include <cstring>

const ReedSolomonParamRow ReedSolomonParams[15] = {
    {2, 2, 0x7, 1, 1, 1},          {5, 3, 0xB, 1, 1, 2},          {11, 4, 0x13, 1, 1, 4},
    {25, 5, 0x25, 1, 1, 6},        {55, 6, 0x43, 1, 1, 8},        {117, 7, 0x89, 1, 1, 10},
    {223, 8, 0x11D, 1, 1, 32},     {479, 9, 0x211, 1, 1, 32},     {991, 10, 0x409, 1, 1, 32},
    {2015, 11, 0x805, 1, 1, 32},   {4063, 12, 0x1053, 1, 1, 32},  {8159, 13, 0x201B, 1, 1, 32},
    {16351, 14, 0x4443, 1, 1, 32}, {32735, 15, 0x8003, 1, 1, 32}, {65503, 16, 0x1100B, 1, 1, 32},
};

namespace {

// The hot loops add two values below nn and reduce once. Branch-free: the
// comparison is as good as random, and a mispredicted branch per symbol cost
// more than the rest of the loop body.
inline int ReduceOnce(int x, int nn) { return x - (nn & -static_cast<int>(x >= nn)); }

// Field product and quotient of polynomial-form values through the tables.
inline unsigned char Mul(const ReedSolomonCodec* c, unsigned char a, unsigned char b) {
  if (a == 0 || b == 0) return 0;
  return c->alpha_to[ReduceOnce(c->index_of[a] + c->index_of[b], c->nn)];
}

inline unsigned char Div(const ReedSolomonCodec* c, unsigned char a, unsigned char b) {
  if (a == 0) return 0;
  return c->alpha_to[ReduceOnce(c->index_of[a] + c->nn - c->index_of[b], c->nn)];
}

// Syndromes S_i = r(alpha^((fcr + i) * prim)) of a block of nn - pad symbols,
// r(x) having block[j] at x^(length - 1 - j); true when all are zero.
// Each term is the antilog of log(block[j]) plus the root's power times the
// position, stepped from the block's end. The antilog table is laid out
// twice, so that a sum of two powers needs no reduction, and followed by
// zeros that log(0) = 2 nn points into; four syndromes at a time keep four
// independent chains in flight.
bool ComputeSyndromes(const ReedSolomonCodec* codec, const unsigned char* block, unsigned char* s) {
  const int nroots = codec->nroots;
  const int nn = codec->nn;
  const int length = nn - codec->pad;
  const unsigned char* const alphaTo = codec->alpha_to;
  const unsigned char* const indexOf = codec->index_of;
  unsigned char antilog[3 * 255];
  std::memcpy(antilog, alphaTo, nn);
  std::memcpy(antilog + nn, alphaTo, nn);
  std::memset(antilog + 2 * nn, 0, nn);
  int logs[255];
  for (int j = 0; j < length; ++j) logs[j] = block[j] != 0 ? indexOf[block[j]] : 2 * nn;
  int roots[256];
  roots[0] = ReedSolomonModNn(codec, codec->fcr * codec->prim);
  for (int i = 1; i < nroots; ++i) roots[i] = ReduceOnce(roots[i - 1] + codec->prim, nn);
  int i = 0;
  for (; i + 4 <= nroots; i += 4) {
    const int r0 = roots[i], r1 = roots[i + 1], r2 = roots[i + 2], r3 = roots[i + 3];
    int p0 = 0, p1 = 0, p2 = 0, p3 = 0;
    unsigned s0 = 0, s1 = 0, s2 = 0, s3 = 0;
    for (int j = length - 1; j >= 0; --j) {
      const int l = logs[j];
      s0 ^= antilog[l + p0];
      s1 ^= antilog[l + p1];
      s2 ^= antilog[l + p2];
      s3 ^= antilog[l + p3];
      p0 = ReduceOnce(p0 + r0, nn);
      p1 = ReduceOnce(p1 + r1, nn);
      p2 = ReduceOnce(p2 + r2, nn);
      p3 = ReduceOnce(p3 + r3, nn);
    }
    s[i] = static_cast<unsigned char>(s0);
    s[i + 1] = static_cast<unsigned char>(s1);
    s[i + 2] = static_cast<unsigned char>(s2);
    s[i + 3] = static_cast<unsigned char>(s3);
  }
  for (; i < nroots; ++i) {
    int power = 0;
    unsigned sum = 0;
    for (int j = length - 1; j >= 0; --j) {
      sum ^= antilog[logs[j] + power];
      power = ReduceOnce(power + roots[i], nn);
    }
    s[i] = static_cast<unsigned char>(sum);
  }
  bool clean = true;
  for (int k = 0; k < nroots; ++k) clean = clean && s[k] == 0;
  return clean;
}

}  // namespace

ReedSolomonCodec* ReedSolomonInit(int symbolSize, int fieldPolynomial, int firstRoot, int primitiveElement,
                                  int roots, int pad) {
  if (symbolSize < 1 || symbolSize > 8) return nullptr;
  const int limit = 1 << symbolSize;
  const int nn = limit - 1;
  if (firstRoot < 0 || firstRoot >= limit) return nullptr;
  if (primitiveElement <= 0 || primitiveElement >= limit) return nullptr;
  if (roots < 0 || roots >= limit) return nullptr;
  if (pad < 0 || pad >= nn - roots) return nullptr;
  // prim needs an inverse modulo nn; without one the search for iprim below
  // would never end.
  {
    int a = primitiveElement, b = nn;
    while (b != 0) {
      int r = a % b;
      a = b;
      b = r;
    }
    if (a != 1) return nullptr;
  }

  ReedSolomonCodec* codec = static_cast<ReedSolomonCodec*>(std::calloc(1, sizeof(ReedSolomonCodec)));
  if (codec == nullptr) return nullptr;
  codec->mm = symbolSize;
  codec->nn = nn;
  codec->pad = pad;
  codec->alpha_to = static_cast<unsigned char*>(std::malloc(nn + 1));
  codec->index_of = static_cast<unsigned char*>(std::malloc(nn + 1));
  codec->genpoly = static_cast<unsigned char*>(std::malloc(roots + 1));
  if (codec->alpha_to == nullptr || codec->index_of == nullptr || codec->genpoly == nullptr) {
    ReedSolomonFree(codec);
    return nullptr;
  }

  // Log and antilog tables by repeated multiplication by x. For x to
  // generate the field, sr must come back to 1 after exactly nn steps: an
  // irreducible polynomial that is not primitive brings it back earlier,
  // a reducible one may never (or reach 0).
  codec->index_of[0] = static_cast<unsigned char>(nn);
  codec->alpha_to[nn] = 0;
  bool primitive = false;
  int sr = 1;
  for (int i = 0; i < nn; ++i) {
    codec->index_of[sr] = static_cast<unsigned char>(i);
    codec->alpha_to[i] = static_cast<unsigned char>(sr);
    sr <<= 1;
    if (sr & limit) sr ^= fieldPolynomial;
    sr &= nn;
    if (sr == 0 || sr == 1) {
      primitive = sr == 1 && i + 1 == nn;
      break;
    }
  }
  if (!primitive) {
    ReedSolomonFree(codec);
    return nullptr;
  }

  codec->nroots = roots;
  codec->fcr = firstRoot;
  codec->prim = primitiveElement;
  int iprim = 1;
  while (iprim % primitiveElement != 0) iprim += nn;
  codec->iprim = iprim / primitiveElement;

  // Generator polynomial prod (x - alpha^((fcr + i) * prim)), built in
  // polynomial form and then turned into power form.
  unsigned char* g = codec->genpoly;
  g[0] = 1;
  int root = ReedSolomonModNn(codec, firstRoot * primitiveElement);
  for (int i = 0; i < roots; ++i) {
    g[i + 1] = 1;
    for (int j = i; j > 0; --j) {
      g[j] = g[j] != 0 ? g[j - 1] ^ codec->alpha_to[ReedSolomonModNn(codec, codec->index_of[g[j]] + root)]
                       : g[j - 1];
    }
    g[0] = codec->alpha_to[ReedSolomonModNn(codec, codec->index_of[g[0]] + root)];
    root = ReedSolomonModNn(codec, root + primitiveElement);
  }
  for (int i = 0; i <= roots; ++i) g[i] = codec->index_of[g[i]];
  return codec;
}

void ReedSolomonFree(ReedSolomonCodec* codec) {
  if (codec == nullptr) return;
  std::free(codec->alpha_to);
  std::free(codec->index_of);
  std::free(codec->genpoly);
  std::free(codec);
}

void ReedSolomonEncode(const ReedSolomonCodec* codec, const unsigned char* data, unsigned char* parity) {
  // Local copies: a byte store may alias the record, and reading the fields
  // through the pointer would reload them after every store.
  const int nroots = codec->nroots;
  if (nroots == 0) return;
  const int nn = codec->nn;
  const int count = nn - nroots - codec->pad;
  const unsigned char* const alphaTo = codec->alpha_to;
  const unsigned char* const indexOf = codec->index_of;
  // The generator's coefficients in the order the register uses them
  // (none is zero: the roots are distinct powers of a primitive element).
  int gen[256];
  for (int j = 0; j < nroots; ++j) gen[j] = codec->genpoly[nroots - 1 - j];

  std::memset(parity, 0, nroots);
  for (int k = 0; k < count; ++k) {
    const int feedback = indexOf[data[k] ^ parity[0]];
    if (feedback != nn) {
      // XOR in feedback x generator and shift left by one symbol, in one pass.
      for (int j = 0; j < nroots - 1; ++j)
        parity[j] = parity[j + 1] ^ alphaTo[ReduceOnce(feedback + gen[j], nn)];
      parity[nroots - 1] = alphaTo[ReduceOnce(feedback + gen[nroots - 1], nn)];
    } else {
      std::memmove(parity, parity + 1, nroots - 1);
      parity[nroots - 1] = 0;
    }
  }
}

int ReedSolomonDecode(const ReedSolomonCodec* codec, unsigned char* block, int* positions, int erasureCount) {
  if (erasureCount != 0) return -1;
  const int nroots = codec->nroots;
  if (nroots == 0) return 0;
  const int nn = codec->nn;
  const int pad = codec->pad;
  const unsigned char* const alphaTo = codec->alpha_to;
  const unsigned char* const indexOf = codec->index_of;

  // 1. Syndromes; a clean block is left at once.
  unsigned char s[256];
  if (ComputeSyndromes(codec, block, s)) return 0;

  // 2. Berlekamp-Massey: the shortest register (lambda, L) that generates the
  // syndromes.
  unsigned char lambda[256] = {1};
  unsigned char prev[256] = {1};  // lambda before the last change of L
  unsigned char temp[256];
  int registerLength = 0;
  int shift = 1;
  unsigned char prevDiscrepancy = 1;
  for (int r = 0; r < nroots; ++r) {
    unsigned char d = s[r];
    for (int i = 1; i <= registerLength; ++i) d ^= Mul(codec, lambda[i], s[r - i]);
    if (d == 0) {
      ++shift;
      continue;
    }
    const unsigned char factor = Div(codec, d, prevDiscrepancy);
    const bool grow = 2 * registerLength <= r;
    if (grow) std::memcpy(temp, lambda, nroots + 1);
    for (int i = 0; i + shift <= nroots; ++i) lambda[i + shift] ^= Mul(codec, factor, prev[i]);
    if (grow) {
      registerLength = r + 1 - registerLength;
      std::memcpy(prev, temp, nroots + 1);
      prevDiscrepancy = d;
      shift = 1;
    } else {
      ++shift;
    }
  }
  int degree = 0;
  for (int i = nroots; i > 0; --i) {
    if (lambda[i] != 0) {
      degree = i;
      break;
    }
  }
  // A locator whose degree is not the register length describes no set of
  // error positions (degree 0 with non-zero syndromes is the plain case):
  // correcting by its roots would not give a codeword.
  if (degree != registerLength) return -1;
  // Bounded-distance decoding: a locator of more than nroots / 2 errors can
  // still have all its roots, but the codeword it leads to is no nearer than
  // the one sent (a single parity symbol detects one error and corrects none).
  if (degree > nroots / 2) return -1;

  // 3. Chien search over the positions that are sent (pad .. nn - 1 of the
  // full block): position loc is a root of lambda at alpha^((loc + 1) * prim),
  // so each step adds prim to the power. A root inside the pad is a known
  // zero reported wrong: the block is uncorrectable, and such roots are left
  // out of the count, which then falls short of the degree.
  int terms = 0;
  int reg[256];
  int step[256];
  const int start = ReedSolomonModNn(codec, (pad + 1) * codec->prim);
  for (int j = 1; j <= degree; ++j) {
    if (lambda[j] == 0) continue;
    reg[terms] = ReedSolomonModNn(codec, indexOf[lambda[j]] + j * start);
    step[terms] = ReedSolomonModNn(codec, j * codec->prim);
    ++terms;
  }
  int found = 0;
  int loc[256];    // full-block positions
  int point[256];  // power of the evaluation point alpha^point
  int power = start;
  for (int l = pad; l < nn && found < degree; ++l) {
    int q = 1;
    for (int k = 0; k < terms; ++k) {
      q ^= alphaTo[reg[k]];
      reg[k] = ReduceOnce(reg[k] + step[k], nn);
    }
    if (q == 0) {
      loc[found] = l;
      point[found] = power;
      ++found;
    }
    power = ReduceOnce(power + codec->prim, nn);
  }
  if (found != degree) return -1;

  // 4. Forney: omega = S x lambda mod x^degree; the error at the root with
  // evaluation point X^-1 = alpha^p is X^(1 - fcr) omega(X^-1) / lambda'(X^-1).
  unsigned char omega[256];
  for (int i = 0; i < degree; ++i) {
    unsigned char v = 0;
    for (int j = 0; j <= i; ++j) v ^= Mul(codec, s[i - j], lambda[j]);
    omega[i] = v;
  }
  unsigned char value[256];
  const int fcrPower = codec->fcr + nn - 1;  // fcr - 1, kept non-negative
  for (int e = 0; e < found; ++e) {
    const int p = point[e];
    int num = 0;
    for (int i = 0; i < degree; ++i) {
      if (omega[i] != 0) num ^= alphaTo[ReedSolomonModNn(codec, indexOf[omega[i]] + i * p)];
    }
    int den = 0;
    for (int j = 1; j <= degree; j += 2) {
      if (lambda[j] != 0) den ^= alphaTo[ReedSolomonModNn(codec, indexOf[lambda[j]] + (j - 1) * p)];
    }
    // Neither happens for a locator with distinct roots found above; refuse
    // rather than divide by zero or count a correction of nothing.
    if (num == 0 || den == 0) return -1;
    value[e] = alphaTo[ReedSolomonModNn(codec, indexOf[num] + nn - indexOf[den] + p * fcrPower)];
  }

  // 5. Everything is decided: only now is the block touched.
  for (int e = 0; e < found; ++e) {
    block[loc[e] - pad] ^= value[e];
    if (positions != nullptr) positions[e] = loc[e] - pad;
  }
  return found;
}

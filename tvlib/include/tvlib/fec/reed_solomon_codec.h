// The Reed-Solomon machinery of the library, in two layers.
//
// 1. The codec core: a systematic Reed-Solomon code over GF(2^mm), mm 1..8,
//    described by six numbers: symbol size, field generator polynomial, first
//    consecutive root (power form), primitive element (power form), number of
//    roots (parity symbols) and pad (leading zero symbols of a shortened code,
//    never sent). A block is nn - pad symbols: data symbol 0 is the highest
//    power, the parity follows the data. Decoding corrects errors only.
//    The functions are reentrant; a record is read-only once built, so any
//    number of threads may code with one record at once.
//
// 2. CReedSolomonRaw: a codec for short bit strings (see the class).
//
// Arithmetic uses the log and antilog tables only (no multiplication in the
// field) and ReedSolomonModNn instead of division.
#pragma once

#include <cstdint>

#include "tvlib/buffers/buffer.h"

// Codec record, built by ReedSolomonInit and freed by ReedSolomonFree. A
// caller may copy the record to change `pad` for a shorter block (the copy
// shares the tables and must not outlive the original).
struct ReedSolomonCodec {
  int mm;                   // bits per symbol, 1..8
  int nn;                   // symbols per full block, 2^mm - 1
  unsigned char* alpha_to;  // nn + 1 entries: power form -> polynomial form; alpha_to[nn] = 0
  unsigned char* index_of;  // nn + 1 entries: polynomial form -> power form; index_of[0] = nn (log 0)
  unsigned char* genpoly;   // nroots + 1 entries: code generator polynomial, power form
  int nroots;               // parity symbols per block
  int fcr;                  // first consecutive root, power form
  int prim;                 // primitive element, power form
  int iprim;                // prim-th root of 1: the inverse of prim modulo nn
  int pad;                  // leading zero symbols that the shortened code does not send
};

// x modulo nn without division (x >= 0).
inline int ReedSolomonModNn(const ReedSolomonCodec* codec, int x) {
  while (x >= codec->nn) {
    x -= codec->nn;
    x = (x >> codec->mm) + (x & codec->nn);
  }
  return x;
}

// One row of ReedSolomonParams: the default code of one symbol size.
struct ReedSolomonParamRow {
  int32_t dataSymbols;       // default data symbols = 2^symbolBits - 1 - roots
  int32_t symbolBits;        // 2..16
  int32_t fieldPolynomial;   // field generator polynomial
  int32_t firstRoot;         // first consecutive root
  int32_t primitiveElement;  // primitive element
  int32_t roots;             // default number of roots
};

// One row per symbol size from 2 to 16 bits; row index = symbol bits - 2.
extern const ReedSolomonParamRow ReedSolomonParams[15];

// Builds a codec, or null when a parameter is out of range (symbol size
// outside 1..8, fcr outside 0..2^mm-1, prim outside 1..2^mm-1 or without an
// inverse modulo nn, roots outside 0..2^mm-1, pad outside 0..nn-roots-1),
// when the field polynomial is not primitive for the symbol size, or when an
// allocation fails.
ReedSolomonCodec* ReedSolomonInit(int symbolSize, int fieldPolynomial, int firstRoot, int primitiveElement,
                                  int roots, int pad);

// nn - nroots - pad data symbols in, nroots parity symbols out (nothing is
// written when the code has no roots). Symbols above nn are not allowed.
void ReedSolomonEncode(const ReedSolomonCodec* codec, const unsigned char* data, unsigned char* parity);

// Corrects a block of nn - pad symbols (data, then parity) in place. Returns
// the number of corrected symbols, 0 for a clean block, -1 when the block
// cannot be corrected; on -1 the block is left exactly as it was. Every
// success leaves a codeword within nroots / 2 symbols of the block received;
// more errors than that are refused (or, when the block lies that near another
// codeword, miscorrected to it, as no decoder can tell).
// Erasures are not decoded: a non-zero erasureCount gives -1. When positions
// is not null, the positions of the corrected symbols are written into it as
// indices into the caller's block (0 = its first symbol), in the order found
// (lowest first); it needs room for nroots entries.
int ReedSolomonDecode(const ReedSolomonCodec* codec, unsigned char* block, int* positions, int erasureCount);

// Frees the three tables and the record; null is ignored.
void ReedSolomonFree(ReedSolomonCodec* codec);

// A codec for short bit strings: a number of data bits and of parity bits,
// the data packed into m-bit symbols, data and parity written back as one
// tight bit string. Bit k of the string is bit (k mod 8) of byte k / 8; the
// data symbols come first (the last one takes only the data bits that
// remain), the parity symbols follow at bit offset = data bits, m bits each;
// the bits of the last byte beyond the string are 0.
//
// Threads: built once, then read-only. ComputeFEC and ExtractData work in
// arrays local to the call, so one instance may code on any number of threads
// at once (the global instance is shared by every socket thread). The two work
// buffers are sized by the constructor and never written by the coding calls.
class CReedSolomonRaw {
 public:
  // Symbol bits 2..8; parity bits a multiple of them; data + parity bits at
  // most m x (2^m - 1). A refused configuration logs why and leaves no codec:
  // both operations then return false without a further message.
  CReedSolomonRaw(unsigned symbolBits, unsigned dataBits, unsigned parityBits);
  ~CReedSolomonRaw();
  CReedSolomonRaw(const CReedSolomonRaw&) = delete;
  CReedSolomonRaw& operator=(const CReedSolomonRaw&) = delete;

  bool IsValid() const { return m_pCodec != nullptr; }
  unsigned GetDataBytes() const { return m_uDataBytes; }
  unsigned GetCodedBytes() const { return m_uCodedBytes; }

  // The buffer holds exactly the data bytes; it becomes the coded bytes (an
  // attached buffer must have room for them).
  bool ComputeFEC(CBufferBase<unsigned char>& buffer) const;

  // The buffer holds exactly the coded bytes; it becomes the corrected data
  // bytes, and the corrected symbol count is stored when asked. An
  // uncorrectable string returns false with the buffer unchanged.
  bool ExtractData(CBufferBase<unsigned char>& buffer, int* pCorrected) const;

 private:
  void SymbolPlace(unsigned k, unsigned* first, unsigned* width) const;
  void Unpack(const unsigned char* bytes, unsigned char* symbols, unsigned symbolCount) const;
  void Pack(const unsigned char* symbols, unsigned symbolCount, unsigned char* bytes) const;

  ReedSolomonCodec* m_pCodec;  // owned; null when construction failed
  unsigned m_uSymbolBits;
  unsigned m_uDataBits;
  unsigned m_uParityBits;
  unsigned m_uDataSymbols;    // ceil(data bits / m)
  unsigned m_uParitySymbols;  // parity bits / m
  unsigned m_uSpareBits;      // data symbols x m - data bits
  unsigned m_uDataBytes;      // ceil(data bits / 8)
  unsigned m_uCodedBytes;     // ceil((data bits + parity bits) / 8)
  unsigned char m_ucSymbolMask;
  CBufferBase<unsigned char> m_encodeWork;  // data + parity symbols long; unused by the coding calls
  CBufferBase<unsigned char> m_decodeWork;  // the same
};

// Start-up step: builds the global instance (4, 8, 8) that protects the RAW
// IP trailer. It runs from a static initialiser before main; calling it again
// does nothing.
void InitGlobalFEC();

// The global CReedSolomonRaw (4, 8, 8): 2 data nibbles (the data byte, low
// nibble first), 2 parity nibbles (coded byte 1, parity symbol 0 in the low
// nibble); corrects one wrong nibble. Built before main and kept until the
// process ends, its exit handlers and late threads included: null only when
// its allocation failed.
const CReedSolomonRaw* GetGlobalRawFEC();

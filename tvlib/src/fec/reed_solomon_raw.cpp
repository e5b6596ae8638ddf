#include <cstring>
#include <new>

#include "tvlib/fec/reed_solomon_codec.h"

CReedSolomonRaw::CReedSolomonRaw(unsigned symbolBits, unsigned dataBits, unsigned parityBits)
    : m_pCodec(nullptr),
      m_uSymbolBits(symbolBits),
      m_uDataBits(dataBits),
      m_uParityBits(parityBits),
      m_uDataSymbols(0),
      m_uParitySymbols(0),
      m_uSpareBits(0),
      m_uDataBytes(0),
      m_uCodedBytes(0),
      m_ucSymbolMask(0) {
  if (symbolBits < 2 || symbolBits > 8) {
    LogErrorFalse("CReedSolomonRaw::CReedSolomonRaw bad symbol size");
    return;
  }
  if (parityBits % symbolBits != 0) {
    LogErrorFalse("CReedSolomonRaw::CReedSolomonRaw bad roots size");
    return;
  }
  const unsigned nn = (1u << symbolBits) - 1;
  if (static_cast<unsigned long long>(symbolBits) * nn <
      static_cast<unsigned long long>(dataBits) + parityBits) {
    LogErrorFalse("Bad data+root bit size !");
    return;
  }
  m_uDataSymbols = (dataBits + symbolBits - 1) / symbolBits;
  m_uParitySymbols = parityBits / symbolBits;
  m_uSpareBits = m_uDataSymbols * symbolBits - dataBits;
  m_uDataBytes = (dataBits + 7) / 8;
  m_uCodedBytes = (dataBits + parityBits + 7) / 8;
  m_ucSymbolMask = static_cast<unsigned char>(0xFF >> (8 - symbolBits));
  const ReedSolomonParamRow& row = ReedSolomonParams[symbolBits - 2];
  m_pCodec = ReedSolomonInit(static_cast<int>(symbolBits), row.fieldPolynomial, row.firstRoot,
                             row.primitiveElement, static_cast<int>(m_uParitySymbols),
                             static_cast<int>(nn - m_uParitySymbols - m_uDataSymbols));
  if (m_pCodec == nullptr) {
    LogErrorFalse("CReedSolomonRaw::CReedSolomonRaw bad number of roots");
    return;
  }
  m_encodeWork.Resize(m_uDataSymbols + m_uParitySymbols);
  m_decodeWork.Resize(m_uDataSymbols + m_uParitySymbols);
}

CReedSolomonRaw::~CReedSolomonRaw() {
  ReedSolomonFree(m_pCodec);
  m_pCodec = nullptr;
}

// Symbols laid end to end, least significant bit first: the data symbols
// (the last one only as wide as the data bits that remain), then the parity
// symbols from bit offset = data bits.
void CReedSolomonRaw::SymbolPlace(unsigned k, unsigned* first, unsigned* width) const {
  if (k < m_uDataSymbols) {
    *first = k * m_uSymbolBits;
    *width = k + 1 < m_uDataSymbols ? m_uSymbolBits : m_uDataBits - *first;
  } else {
    *first = m_uDataBits + (k - m_uDataSymbols) * m_uSymbolBits;
    *width = m_uSymbolBits;
  }
}

void CReedSolomonRaw::Unpack(const unsigned char* bytes, unsigned char* symbols, unsigned symbolCount) const {
  for (unsigned k = 0; k < symbolCount; ++k) {
    unsigned first, width, value = 0;
    SymbolPlace(k, &first, &width);
    for (unsigned b = 0; b < width; ++b) {
      const unsigned bit = first + b;
      value |= ((bytes[bit >> 3] >> (bit & 7)) & 1u) << b;
    }
    symbols[k] = static_cast<unsigned char>(value);
  }
}

// The bytes must be cleared beforehand; only the symbols' own bits are set.
void CReedSolomonRaw::Pack(const unsigned char* symbols, unsigned symbolCount, unsigned char* bytes) const {
  for (unsigned k = 0; k < symbolCount; ++k) {
    unsigned first, width;
    SymbolPlace(k, &first, &width);
    for (unsigned b = 0; b < width; ++b) {
      const unsigned bit = first + b;
      bytes[bit >> 3] |= static_cast<unsigned char>(((symbols[k] >> b) & 1u) << (bit & 7));
    }
  }
}

bool CReedSolomonRaw::ComputeFEC(CBufferBase<unsigned char>& buffer) const {
  if (m_pCodec == nullptr) return false;
  if (buffer.GetLength() != m_uDataBytes) return LogErrorFalse("CReedSolomonRaw::ComputeFEC bad buffer size");
  // Realloc succeeds in place for an attached view with room enough; a
  // too-small view must not be swapped for other memory behind the caller.
  if ((!buffer.IsOwned() && buffer.GetAllocated() < m_uCodedBytes) || !buffer.Realloc(m_uCodedBytes) ||
      !buffer.SetLength(m_uCodedBytes))
    return LogErrorFalse("CReedSolomonRaw::ComputeFEC buffer size can not be changed");

  // Call-local symbols keep the instance read-only (shared by every thread).
  unsigned char symbols[255];
  Unpack(buffer.GetData(), symbols, m_uDataSymbols);
  ReedSolomonEncode(m_pCodec, symbols, symbols + m_uDataSymbols);
  std::memset(buffer.GetData(), 0, m_uCodedBytes);
  Pack(symbols, m_uDataSymbols + m_uParitySymbols, buffer.GetData());
  return true;
}

bool CReedSolomonRaw::ExtractData(CBufferBase<unsigned char>& buffer, int* pCorrected) const {
  if (m_pCodec == nullptr) return false;
  if (buffer.GetLength() != m_uCodedBytes)
    return LogErrorFalse("CReedSolomonRaw::ExtractData bad buffer size");

  unsigned char symbols[255];
  Unpack(buffer.GetData(), symbols, m_uDataSymbols + m_uParitySymbols);
  const int corrected = ReedSolomonDecode(m_pCodec, symbols, nullptr, 0);
  if (corrected < 0) return false;
  // The bits of the last data symbol above the data bits are never sent and
  // are known to be 0, like the pad: a correction that sets them proves the
  // string uncorrectable rather than repaired.
  if (m_uSpareBits != 0 && (symbols[m_uDataSymbols - 1] >> (m_uSymbolBits - m_uSpareBits)) != 0) return false;

  if (pCorrected != nullptr) *pCorrected = corrected;
  std::memset(buffer.GetData(), 0, m_uCodedBytes);
  Pack(symbols, m_uDataSymbols, buffer.GetData());
  if (!buffer.SetLength(m_uDataBytes))
    return LogErrorFalse("CReedSolomonRaw::ExtractData buffer size can not be changed");
  return true;
}

namespace {

// Never freed: socket receivers may still frame datagrams while the process
// runs its exit handlers, and the system takes the memory back at the end.
CReedSolomonRaw* g_pGlobalRawFEC = nullptr;

// After the logger (priority 101), so that a refusal can be logged, and
// before every default-priority static object of the program.
struct GlobalRawFECStartup {
  GlobalRawFECStartup() { InitGlobalFEC(); }
} g_globalRawFECStartup __attribute__((init_priority(200)));

}  // namespace

void InitGlobalFEC() {
  if (g_pGlobalRawFEC != nullptr) return;
  g_pGlobalRawFEC = new (std::nothrow) CReedSolomonRaw(4, 8, 8);
}

const CReedSolomonRaw* GetGlobalRawFEC() { return g_pGlobalRawFEC; }

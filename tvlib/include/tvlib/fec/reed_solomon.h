// Forward error correction for byte buffers of any length.
//
// CBaseFEC is the interface of a scheme; CReedSolomon implements it with
// 8-bit Reed-Solomon blocks (x^8+x^4+x^3+x^2+1, first root 1, primitive
// element 1): the parity is a configured percentage of the data, ComputeFEC
// appends it and ExtractData corrects the buffer and strips it again. Long
// buffers are cut into blocks of at most 255 bytes (reed_solomon_layout.h).
//
// The codecs for each number of parity bytes are built once, on first use,
// and shared by every object and thread through a process-wide cache that a
// static initialiser creates before main and that is freed at exit.
#pragma once

#include "tvlib/buffers/buffer.h"
#include "tvlib/fec/reed_solomon_codec.h"

class CBaseFEC {
 public:
  virtual ~CBaseFEC() {}
  virtual unsigned GetParitySize(unsigned dataSize) const = 0;
  virtual unsigned GetCodedSize(unsigned dataSize) const = 0;
  virtual unsigned GetCorrectableSize(unsigned dataSize) const = 0;
  virtual bool IsInitialized() const = 0;
  // The configuration record into / from a buffer of the scheme's size.
  virtual bool GetConfig(CBufferBase<unsigned char>& buffer) const = 0;
  virtual bool SetConfig(const CBufferBase<unsigned char>& buffer) = 0;
  // Appends the parity to the data in the buffer.
  virtual bool ComputeFEC(CBufferBase<unsigned char>& buffer) = 0;
  // Corrects a coded buffer in place and strips the parity; the corrected
  // byte count is stored when asked.
  virtual bool ExtractData(CBufferBase<unsigned char>& buffer, int* pCorrected) = 0;
  virtual int GetType() const = 0;
};

// Threads: one object on one thread at a time (its work buffer holds the
// block being decoded); the shared cache has its own lock.
// Configuration record: exactly 1 byte, the parity percentage 0..255.
class CReedSolomon : public CBaseFEC {
 public:
  // The ratio is parity bytes per data byte; a negative or not-a-number
  // ratio is taken as 0 and the ratio is capped at 2.55, the most the
  // configuration byte can describe.
  explicit CReedSolomon(double ratio);
  // As SetConfig; a buffer that is not 1 byte long leaves the ratio 0 (no
  // parity) until a SetConfig succeeds.
  explicit CReedSolomon(const CBufferBase<unsigned char>& config);
  ~CReedSolomon() override {}

  unsigned GetParitySize(unsigned dataSize) const override;  // floor(size x ratio)
  unsigned GetCodedSize(unsigned dataSize) const override;
  unsigned GetCorrectableSize(unsigned dataSize) const override;  // half the parity
  bool IsInitialized() const override { return true; }
  bool GetConfig(CBufferBase<unsigned char>& buffer) const override;
  bool SetConfig(const CBufferBase<unsigned char>& buffer) override;
  // The buffer grows by the parity; an attached buffer must have room for it.
  bool ComputeFEC(CBufferBase<unsigned char>& buffer) override;
  // A buffer that no data length codes to is refused unchanged. An
  // uncorrectable block stops with false; blocks before it have been
  // corrected in place and the buffer keeps its full length.
  bool ExtractData(CBufferBase<unsigned char>& buffer, int* pCorrected) override;
  int GetType() const override { return 0; }

 private:
  double m_dRatio;                          // parity bytes per data byte = percentage / 100
  CBufferBase<unsigned char> m_workBuffer;  // 255 bytes: the block being decoded
};

// Start-up step: creates the empty codec cache and its lock, and registers
// its clean-up at exit. It runs from a static initialiser before main;
// calling it again does nothing.
void InitFECCache();

// The cached codec ReedSolomonInit(8, 0x11D, 1, 1, roots, 0), built on first
// use and never changed; roots 0..253. Null (logged) for another count, or
// when it cannot be built. Any thread may call it. A caller works on a
// private copy of the record with its own pad.
const ReedSolomonCodec* GetReedSolomonCodec(int roots);

// Named shared memory blocks of another process, as pelclient reaches them:
// "Global\TARVEL_" + name, opened (never created) for reading, or for reading
// and writing, with the whole mapping in view.
//
// The size is the mapping's own as the system reports it (it may round up to
// whole pages); a board block's name ("PELORIN_" and eight hex digits) limits
// it to the board block's size, so that its ranges are checked exactly.
//
// Threads: one object belongs to one thread. The view is read and written
// without the block's mutex, as the service and its other clients do.
#pragma once

#include <cstdint>
#include <string>

#include "tvlib/win.h"

class CBlockView {
 public:
  CBlockView() = default;
  ~CBlockView();
  CBlockView(const CBlockView&) = delete;
  CBlockView& operator=(const CBlockView&) = delete;

  // ERROR_SUCCESS or the Win32 code of the failed open or map.
  DWORD Open(const std::string& name, bool write);
  uint8_t* Data() const { return m_data; }
  uint32_t Size() const { return m_size; }

 private:
  HANDLE m_mapping = nullptr;
  uint8_t* m_data = nullptr;
  uint32_t m_size = 0;
};

// A name the tool accepts: not empty, without a backslash (which would leave
// the prefix's namespace) and not already carrying the "Global\TARVEL_" prefix.
bool ValidBlockName(const std::string& name, std::string* why);
// The block size a name implies: the board block's for board block names, 0
// for any other name (the mapping's own size then holds).
uint32_t KnownBlockSize(const std::string& name);
// [offset, offset + length) lies within size bytes, without overflow.
inline bool RangeWithin(uint64_t offset, uint64_t length, uint32_t size) {
  return offset <= size && length <= size - offset;
}

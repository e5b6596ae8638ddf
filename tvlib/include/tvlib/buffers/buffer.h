// CBufferBase<T>: the plain growable array of the library (bytes, or object
// pointers).
//
// A buffer either owns its memory (malloc/realloc/free of the C runtime) or is
// attached to memory that belongs to someone else: an attached buffer may be
// used up to its allocated size but is never reallocated; only Resize turns a
// too-small attached buffer into an owned one (dropping, not freeing, the
// caller's memory). Nothing throws; failures log one level-0 line and return
// false with memory, length and content unchanged.
//
// Threads: none of its own. A buffer belongs to one thread at a time or is
// guarded by its owner's lock.
//
// The destructor frees owned memory. The element type must be trivially
// copyable (elements are moved with memcpy/memmove).
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <type_traits>
#include <utility>

#include "tvlib/log/log.h"

template <typename T>
class CBufferBase {
  static_assert(std::is_trivially_copyable<T>::value, "CBufferBase holds plain elements only");

 public:
  // Empty owned buffer.
  CBufferBase() = default;

  // Owned buffer with a first allocation of n elements: length and allocated
  // are n (uninitialised content), or 0 when the allocation fails.
  explicit CBufferBase(uint32_t n) {
    if (n != 0) {
      m_data = static_cast<T*>(std::malloc(static_cast<size_t>(n) * sizeof(T)));
      if (m_data != nullptr) {
        m_length = n;
        m_allocated = n;
      }
    }
  }

  // Attached to caller memory holding `length` elements in room for
  // `allocated` (allocated defaults to length). The caller keeps ownership.
  CBufferBase(T* memory, uint32_t length, uint32_t allocated = 0) { Attach(memory, length, allocated); }

  ~CBufferBase() { Free(); }

  CBufferBase(const CBufferBase&) = delete;
  CBufferBase& operator=(const CBufferBase&) = delete;

  CBufferBase(CBufferBase&& other) noexcept
      : m_data(other.m_data),
        m_length(other.m_length),
        m_allocated(other.m_allocated),
        m_owned(other.m_owned) {
    other.m_data = nullptr;
    other.m_length = other.m_allocated = 0;
    other.m_owned = true;
  }
  CBufferBase& operator=(CBufferBase&& other) noexcept {
    if (this != &other) {
      Free();
      std::swap(m_data, other.m_data);
      std::swap(m_length, other.m_length);
      std::swap(m_allocated, other.m_allocated);
      std::swap(m_owned, other.m_owned);
    }
    return *this;
  }

  T* GetData() { return m_data; }
  const T* GetData() const { return m_data; }
  uint32_t GetLength() const { return m_length; }
  uint32_t GetAllocated() const { return m_allocated; }
  bool IsOwned() const { return m_owned; }
  bool IsEmpty() const { return m_length == 0; }
  T& operator[](uint32_t i) { return m_data[i]; }
  const T& operator[](uint32_t i) const { return m_data[i]; }

  // Sets the length within the allocation (no growth); false beyond it.
  bool SetLength(uint32_t n) {
    if (n > m_allocated) return false;
    m_length = n;
    return true;
  }

  // Frees owned memory (attached memory is only forgotten); the buffer is
  // then empty and owned.
  void Free() {
    if (m_owned && m_data != nullptr) std::free(m_data);
    m_data = nullptr;
    m_length = m_allocated = 0;
    m_owned = true;
  }

  // Drops whatever the buffer held (as Free) and attaches caller memory.
  void Attach(T* memory, uint32_t length, uint32_t allocated = 0) {
    Free();
    if (allocated < length) allocated = length;
    if (memory == nullptr) return;
    m_data = memory;
    m_length = length;
    m_allocated = allocated;
    m_owned = false;
  }

  // Makes room for n elements. Never shrinks, never changes the length.
  bool Realloc(uint32_t n) {
    if (m_allocated >= n) return true;
    if (!m_owned) return LogErrorFalse("CBufferBase<T>::Realloc called with attached buffer");
    // realloc(p, 0) frees on msvcrt; n > allocated >= 0 rules it out here.
    T* grown = static_cast<T*>(std::realloc(m_data, static_cast<size_t>(n) * sizeof(T)));
    if (grown == nullptr) return LogErrorFalse("CBufferBase<T>::Realloc Failed to allocate buffer");
    m_data = grown;
    m_allocated = n;
    return true;
  }

  // Sets the length to n. A too-small attached buffer is replaced by fresh
  // owned memory: its content is not carried over.
  bool Resize(uint32_t n) {
    if (!m_owned) {
      if (m_allocated >= n) {
        m_length = n;
        return true;
      }
      m_data = nullptr;
      m_length = m_allocated = 0;
      m_owned = true;
    }
    if (m_allocated < n && !Realloc(n)) return false;
    m_length = n;
    return true;
  }

  // Appends count elements; count -1 means a zero-terminated sequence (the
  // terminator is not appended). Other counts below 1 append nothing.
  bool Append(const T* items, int count) {
    if (count == -1) {
      if (items == nullptr) return true;
      size_t n = 0;
      while (!(items[n] == T())) ++n;
      if (n == 0) return true;
      if (n > 0xFFFFFFFFu) return LogErrorFalse("CBufferBase<T>::Realloc Failed to allocate buffer");
      return AppendCount(items, static_cast<uint32_t>(n));
    }
    if (count < 1) return true;
    return AppendCount(items, static_cast<uint32_t>(count));
  }

  // Byte buffers: the same for narrow text.
  template <typename U = T,
            typename = typename std::enable_if<sizeof(U) == 1 && !std::is_same<U, char>::value>::type>
  bool Append(const char* text, int count) {
    return Append(reinterpret_cast<const T*>(text), count);
  }

  // Copies count elements of source from offset to destOffset of this buffer
  // (source may be this buffer; ranges may overlap). count 0 = up to the
  // source's end. The destination may start beyond the current length; the
  // gap is counted but not initialised. The length only grows.
  bool CopyFrom(const CBufferBase& source, uint32_t offset, uint32_t count, uint32_t destOffset) {
    if (count == 0) {
      if (source.m_length == 0 && offset == 0) return true;
      if (offset >= source.m_length) return LogErrorFalse("CBufferBase<T>::CopyFrom bad source offset");
      count = source.m_length - offset;
    }
    if (static_cast<uint64_t>(offset) + count > source.m_length)
      return LogErrorFalse("CBufferBase<T>::CopyFrom bad source size");
    uint64_t end = static_cast<uint64_t>(destOffset) + count;
    if (end > m_length) {
      if (m_allocated < end) {
        if (!m_owned) return LogErrorFalse("CBufferBase<T>::CopyFrom to a too small attached buffer");
        if (end > 0xFFFFFFFFu) {
          LogErrorFalse("CBufferBase<T>::Realloc Failed to allocate buffer");
          return LogErrorFalse("CBufferBase<T>::CopyFrom Alloc failed");
        }
        if (!Realloc(static_cast<uint32_t>(end)))
          return LogErrorFalse("CBufferBase<T>::CopyFrom Alloc failed");
      }
      m_length = static_cast<uint32_t>(end);
    }
    // Read source.m_data only now: a copy within this buffer may have moved it.
    std::memmove(m_data + destOffset, source.m_data + offset, static_cast<size_t>(count) * sizeof(T));
    return true;
  }

  // Appends one element, growing the allocation by exactly one when full.
  bool Append(T item) {
    if (m_length == 0xFFFFFFFFu) return LogErrorFalse("CBufferBase<T>::Realloc Failed to allocate buffer");
    if (!Realloc(m_length + 1)) return false;
    m_data[m_length++] = item;
    return true;
  }

  // Removes one element, closing the gap; the allocation does not shrink.
  bool RemoveAt(uint32_t index) {
    if (index >= m_length) return LogErrorFalse("CBufferBase<T>::RemoveAt bad index");
    std::memmove(m_data + index, m_data + index + 1, static_cast<size_t>(m_length - index - 1) * sizeof(T));
    --m_length;
    return true;
  }

  // Removes the first element equal to item, if any.
  void Remove(T item) {
    for (uint32_t i = 0; i < m_length; ++i) {
      if (m_data[i] == item) {
        RemoveAt(i);
        return;
      }
    }
  }

  // Pointer buffers: deletes every non-null object held (through its virtual
  // destructor), then frees an owned array. The buffer is left empty, so a
  // later destructor or iteration cannot touch the deleted objects again.
  void DeleteAll() {
    static_assert(std::is_pointer<T>::value, "DeleteAll needs a buffer of object pointers");
    for (uint32_t i = 0; i < m_length; ++i) {  // a destructor may change the length
      if (m_data[i] != nullptr) delete m_data[i];
    }
    if (m_owned) {
      Free();
    } else {
      m_length = 0;
    }
  }

 private:
  bool AppendCount(const T* items, uint32_t count) {
    uint64_t newLength = static_cast<uint64_t>(m_length) + count;
    if (newLength > 0xFFFFFFFFu) return LogErrorFalse("CBufferBase<T>::Realloc Failed to allocate buffer");
    if (m_allocated < newLength && !Realloc(static_cast<uint32_t>(newLength))) return false;
    std::memcpy(m_data + m_length, items, static_cast<size_t>(count) * sizeof(T));
    m_length = static_cast<uint32_t>(newLength);
    return true;
  }

  T* m_data = nullptr;       // null when nothing is allocated
  uint32_t m_length = 0;     // elements in use
  uint32_t m_allocated = 0;  // elements the memory can hold
  bool m_owned = true;       // false: attached caller memory
};

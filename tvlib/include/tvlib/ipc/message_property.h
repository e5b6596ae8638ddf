// CMessage_Property: a message whose payload, after the header byte, is a
// stream of tagged items, ended by tag 0. Every CMessage_Internal carries one
// as a view of its message bytes.
//
// Items: [tag][value]. Tag 1 is a 16-bit number, big-endian (high byte
// first); 2 a name and 26 a string, NUL-terminated; 3 a list of
// NUL-terminated strings ended by an empty one; 4 a marker (no value); 5 an
// item of one byte or a NUL-terminated text (no reader); 20 bool (one byte,
// non-zero is true), 21 int32, 22 uint32, 23 int64, 24 uint64 and 25 double
// (IEEE bits), all little-endian. Tags 20 to 29 are values; 27 to 29 and 6 to
// 19 have no writer or reader, so a reading loop stops at them.
//
// Reading: a cursor points into the message's bytes, or is none (null).
// Begin gives byte 1 (none below 2 bytes); while !IsEnd, the Is tests pick
// the reader: ReadUInt16, ReadName and ReadStringList consume their own tag,
// the value readers come after ReadTag. Every test and reader is bounded by
// the message's length, since the bytes may be a peer's: a cursor outside
// [byte 1, end] counts as none; at the end IsEnd is true and ReadTag gives
// none; a reader whose item would cross the end, or that is given none, logs
// "CMessage_Property::ReadBool bad iterator" (level 0), gives false, 0 or no
// string, and sets the cursor to none, so a loop ends there.
//
// Strings are handed out in place, each ending inside the message: valid
// while the message lives and until the next writer call on it, which may
// move the bytes. Never keep a cursor across a write.
//
// Writing: InitHeader, the writers in order, WriteEnd. Each writer appends its
// whole item or nothing: false when the buffer cannot grow (an attached view
// never grows: the buffer's "called with attached buffer" line), when the
// message would pass 4 GiB, and for a null text.
//
// Threads: none; as every message, one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>

#include "tvlib/ipc/message.h"

class CMessage_Property : public CMessage {
 public:
  using Cursor = const unsigned char*;
  enum { kTagNone = -1 };  // ReadTag's answer when there is no tag to read

  // Empty, owned.
  CMessage_Property() = default;
  // Attached to bytes that the caller owns and keeps alive.
  CMessage_Property(unsigned char* bytes, uint32_t length) : CMessage(bytes, length) {}

  bool WriteEnd();
  bool WriteUInt16(uint16_t value);
  bool WriteName(const char* text);
  // Starts a list: append each member with AppendString (a member cannot be
  // empty: its NUL would end the list), then end it with WriteEnd.
  bool WriteStringList();
  bool AppendString(const char* text);
  bool WriteMarker();
  bool WriteItem(uint8_t value);
  bool WriteItemText(const char* text);
  bool WriteBool(bool value);
  bool WriteInt32(int32_t value);
  bool WriteUInt32(uint32_t value);
  bool WriteInt64(int64_t value);
  bool WriteUInt64(uint64_t value);
  bool WriteDouble(double value);
  bool WriteString(const char* text);
  bool WriteTag(uint8_t tag);
  // Two bytes little-endian, no tag.
  bool AppendUInt16(uint16_t value);

  Cursor Begin() const;
  bool IsEnd(Cursor cursor) const;
  bool IsUInt16(Cursor cursor) const;
  bool IsName(Cursor cursor) const;
  bool IsStringList(Cursor cursor) const;
  bool IsMarker(Cursor cursor) const;
  bool IsItem(Cursor cursor) const;
  bool IsValue(Cursor cursor) const;

  // One tag byte; kTagNone (cursor none) at the end or for a none cursor.
  int ReadTag(Cursor& cursor) const;
  bool ReadBool(Cursor& cursor) const;
  int32_t ReadInt32(Cursor& cursor) const;
  uint32_t ReadUInt32(Cursor& cursor) const;
  int64_t ReadInt64(Cursor& cursor) const;
  uint64_t ReadUInt64(Cursor& cursor) const;
  double ReadDouble(Cursor& cursor) const;
  const char* ReadString(Cursor& cursor) const;
  uint16_t ReadUInt16(Cursor& cursor) const;
  const char* ReadName(Cursor& cursor) const;
  // The first member ("" for an empty list); the cursor ends after the
  // list's closing empty string.
  const char* ReadStringList(Cursor& cursor) const;

 private:
  // Appends [head][text][NUL when terminate] as one item: all of it or nothing.
  bool AppendItem(const void* head, size_t headSize, const char* text, bool terminate);
  // [tag][size bytes of bits, little-endian]
  bool WriteValue(uint8_t tag, uint64_t bits, size_t size);
  // [tag][text][NUL]; false for a null text.
  bool WriteText(uint8_t tag, const char* text);
  // The tag at the cursor, or kTagNone when the cursor is none or at the end.
  int TagAt(Cursor cursor) const;
  // Bytes from the cursor to the end; false for a cursor outside [1, end].
  bool Remaining(Cursor cursor, size_t& remaining) const;
  // `size` bytes at the cursor, moving it on; none and the log line when
  // they are not all inside.
  bool Take(Cursor& cursor, size_t size, const unsigned char*& bytes) const;
  // A NUL-terminated string at the cursor, moving it past the NUL.
  const char* TakeString(Cursor& cursor) const;
  uint64_t ReadLittleEndian(Cursor& cursor, size_t size) const;
};

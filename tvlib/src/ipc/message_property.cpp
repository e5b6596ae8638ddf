#include "tvlib/ipc/message_property.h"

#include <climits>
#include <cstring>

#include "tvlib/log/log.h"

namespace {

enum {
  kTagEnd = 0,
  kTagUInt16 = 1,
  kTagName = 2,
  kTagList = 3,
  kTagMarker = 4,
  kTagItem = 5,
  kTagBool = 20,
  kTagInt32 = 21,
  kTagUInt32 = 22,
  kTagInt64 = 23,
  kTagUInt64 = 24,
  kTagDouble = 25,
  kTagString = 26,
  kTagLastValue = 29,
};

const char kBadIterator[] = "CMessage_Property::ReadBool bad iterator";

}  // namespace

// ---------------------------------------------------------------- writers

bool CMessage_Property::AppendItem(const void* head, size_t headSize, const char* text, bool terminate) {
  size_t textSize = text != nullptr ? strlen(text) : 0;
  size_t itemSize = headSize + textSize + (terminate ? 1 : 0);
  uint64_t newLength = static_cast<uint64_t>(GetLength()) + itemSize;
  if (itemSize > INT_MAX || newLength > 0xFFFFFFFFu)
    return LogErrorFalse("CBufferBase<T>::Realloc Failed to allocate buffer");
  // One growth for the whole item: a failure leaves the message as it was,
  // never with a lone tag.
  if (!m_buffer.Realloc(static_cast<uint32_t>(newLength))) return false;
  unsigned char* at = m_buffer.GetData() + GetLength();
  if (headSize != 0) std::memcpy(at, head, headSize);
  if (textSize != 0) std::memcpy(at + headSize, text, textSize);
  if (terminate) at[headSize + textSize] = 0;
  return m_buffer.SetLength(static_cast<uint32_t>(newLength));
}

bool CMessage_Property::WriteValue(uint8_t tag, uint64_t bits, size_t size) {
  unsigned char item[9];
  item[0] = tag;
  for (size_t i = 0; i < size; ++i) item[1 + i] = static_cast<unsigned char>(bits >> (8 * i));
  return AppendItem(item, 1 + size, nullptr, false);
}

bool CMessage_Property::WriteText(uint8_t tag, const char* text) {
  return text != nullptr && AppendItem(&tag, 1, text, true);
}

bool CMessage_Property::WriteTag(uint8_t tag) { return AppendItem(&tag, 1, nullptr, false); }
bool CMessage_Property::WriteEnd() { return WriteTag(kTagEnd); }
bool CMessage_Property::WriteStringList() { return WriteTag(kTagList); }
bool CMessage_Property::WriteMarker() { return WriteTag(kTagMarker); }
bool CMessage_Property::WriteName(const char* text) { return WriteText(kTagName, text); }
bool CMessage_Property::WriteItemText(const char* text) { return WriteText(kTagItem, text); }
bool CMessage_Property::WriteString(const char* text) { return WriteText(kTagString, text); }
bool CMessage_Property::AppendString(const char* text) {
  return text != nullptr && AppendItem(nullptr, 0, text, true);
}

bool CMessage_Property::WriteUInt16(uint16_t value) {
  // The one big-endian item of the stream.
  const unsigned char item[3] = {kTagUInt16, static_cast<unsigned char>(value >> 8),
                                 static_cast<unsigned char>(value & 0xFF)};
  return AppendItem(item, sizeof item, nullptr, false);
}

bool CMessage_Property::AppendUInt16(uint16_t value) {
  const unsigned char bytes[2] = {static_cast<unsigned char>(value & 0xFF),
                                  static_cast<unsigned char>(value >> 8)};
  return AppendItem(bytes, sizeof bytes, nullptr, false);
}

bool CMessage_Property::WriteItem(uint8_t value) { return WriteValue(kTagItem, value, 1); }
bool CMessage_Property::WriteBool(bool value) { return WriteValue(kTagBool, value ? 1 : 0, 1); }
bool CMessage_Property::WriteInt32(int32_t value) {
  return WriteValue(kTagInt32, static_cast<uint32_t>(value), 4);
}
bool CMessage_Property::WriteUInt32(uint32_t value) { return WriteValue(kTagUInt32, value, 4); }
bool CMessage_Property::WriteInt64(int64_t value) {
  return WriteValue(kTagInt64, static_cast<uint64_t>(value), 8);
}
bool CMessage_Property::WriteUInt64(uint64_t value) { return WriteValue(kTagUInt64, value, 8); }

bool CMessage_Property::WriteDouble(double value) {
  uint64_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  return WriteValue(kTagDouble, bits, 8);
}

// ---------------------------------------------------------------- tests

CMessage_Property::Cursor CMessage_Property::Begin() const {
  return GetLength() >= 2 ? GetData() + 1 : nullptr;
}

bool CMessage_Property::Remaining(Cursor cursor, size_t& remaining) const {
  const unsigned char* data = GetData();
  if (cursor == nullptr || data == nullptr) return false;
  // Compared as addresses: a cursor of another message is simply outside.
  uintptr_t at = reinterpret_cast<uintptr_t>(cursor);
  uintptr_t first = reinterpret_cast<uintptr_t>(data) + 1;
  uintptr_t end = reinterpret_cast<uintptr_t>(data) + GetLength();
  if (at < first || at > end) return false;
  remaining = end - at;
  return true;
}

int CMessage_Property::TagAt(Cursor cursor) const {
  size_t remaining = 0;
  if (!Remaining(cursor, remaining) || remaining == 0) return kTagNone;
  return *cursor;
}

bool CMessage_Property::IsEnd(Cursor cursor) const {
  int tag = TagAt(cursor);
  return tag == kTagNone || tag == kTagEnd;
}

bool CMessage_Property::IsUInt16(Cursor cursor) const { return TagAt(cursor) == kTagUInt16; }
bool CMessage_Property::IsName(Cursor cursor) const { return TagAt(cursor) == kTagName; }
bool CMessage_Property::IsStringList(Cursor cursor) const { return TagAt(cursor) == kTagList; }
bool CMessage_Property::IsMarker(Cursor cursor) const { return TagAt(cursor) == kTagMarker; }
bool CMessage_Property::IsItem(Cursor cursor) const { return TagAt(cursor) == kTagItem; }

bool CMessage_Property::IsValue(Cursor cursor) const {
  int tag = TagAt(cursor);
  return tag >= kTagBool && tag <= kTagLastValue;
}

// ---------------------------------------------------------------- readers

bool CMessage_Property::Take(Cursor& cursor, size_t size, const unsigned char*& bytes) const {
  size_t remaining = 0;
  if (!Remaining(cursor, remaining) || remaining < size) {
    LogError("%s", kBadIterator);
    cursor = nullptr;
    return false;
  }
  bytes = cursor;
  cursor += size;
  return true;
}

const char* CMessage_Property::TakeString(Cursor& cursor) const {
  size_t remaining = 0;
  const void* nul = Remaining(cursor, remaining) ? std::memchr(cursor, 0, remaining) : nullptr;
  if (nul == nullptr) {
    LogError("%s", kBadIterator);
    cursor = nullptr;
    return nullptr;
  }
  const char* text = reinterpret_cast<const char*>(cursor);
  cursor = static_cast<Cursor>(nul) + 1;
  return text;
}

uint64_t CMessage_Property::ReadLittleEndian(Cursor& cursor, size_t size) const {
  const unsigned char* bytes = nullptr;
  if (!Take(cursor, size, bytes)) return 0;
  uint64_t value = 0;
  for (size_t i = 0; i < size; ++i) value |= static_cast<uint64_t>(bytes[i]) << (8 * i);
  return value;
}

int CMessage_Property::ReadTag(Cursor& cursor) const {
  int tag = TagAt(cursor);
  cursor = tag == kTagNone ? nullptr : cursor + 1;
  return tag;
}

bool CMessage_Property::ReadBool(Cursor& cursor) const { return ReadLittleEndian(cursor, 1) != 0; }

int32_t CMessage_Property::ReadInt32(Cursor& cursor) const {
  return static_cast<int32_t>(static_cast<uint32_t>(ReadLittleEndian(cursor, 4)));
}

uint32_t CMessage_Property::ReadUInt32(Cursor& cursor) const {
  return static_cast<uint32_t>(ReadLittleEndian(cursor, 4));
}

int64_t CMessage_Property::ReadInt64(Cursor& cursor) const {
  return static_cast<int64_t>(ReadLittleEndian(cursor, 8));
}

uint64_t CMessage_Property::ReadUInt64(Cursor& cursor) const { return ReadLittleEndian(cursor, 8); }

double CMessage_Property::ReadDouble(Cursor& cursor) const {
  uint64_t bits = ReadLittleEndian(cursor, 8);
  double value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

const char* CMessage_Property::ReadString(Cursor& cursor) const { return TakeString(cursor); }

uint16_t CMessage_Property::ReadUInt16(Cursor& cursor) const {
  const unsigned char* bytes = nullptr;
  if (!Take(cursor, 3, bytes)) return 0;
  return static_cast<uint16_t>((bytes[1] << 8) | bytes[2]);
}

const char* CMessage_Property::ReadName(Cursor& cursor) const {
  const unsigned char* tag = nullptr;
  if (!Take(cursor, 1, tag)) return nullptr;
  return TakeString(cursor);
}

const char* CMessage_Property::ReadStringList(Cursor& cursor) const {
  const unsigned char* tag = nullptr;
  if (!Take(cursor, 1, tag)) return nullptr;
  // The whole list, its closing empty string included, must lie inside
  // before its first member is handed out.
  Cursor walk = cursor;
  const char* first = nullptr;
  for (;;) {
    const char* member = TakeString(walk);
    if (member == nullptr) {
      cursor = nullptr;
      return nullptr;
    }
    if (first == nullptr) first = member;
    if (*member == '\0') break;
  }
  cursor = walk;
  return first;
}

#include "tvlib/ipc/message_property.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "support/log_capture.h"
#include "tvlib/ipc/message_internal.h"

namespace {

using Cursor = CMessage_Property::Cursor;

std::string Bytes(const CMessage& m) {
  return std::string(reinterpret_cast<const char*>(m.GetData()), m.GetLength());
}

// The bytes one writer appends after a header byte.
template <typename Write>
std::string Appended(Write write) {
  CMessage_Property m;
  m.InitHeader(11, 0, false);
  EXPECT_TRUE(write(m));
  return Bytes(m).substr(1);
}

TEST(MessageProperty, EachWriterAppendsItsItem) {
  using M = CMessage_Property;
  struct Case {
    std::string expected;
    std::string got;
  };
  const Case cases[] = {
      {"\x01\x12\x34", Appended([](M& m) { return m.WriteUInt16(0x1234); })},
      {"\x34\x12", Appended([](M& m) { return m.AppendUInt16(0x1234); })},
      {std::string("\x15\x01\x00\x00\x00", 5), Appended([](M& m) { return m.WriteInt32(1); })},
      {std::string("\x16\xFE\xFF\xFF\xFF", 5), Appended([](M& m) { return m.WriteUInt32(0xFFFFFFFE); })},
      {std::string("\x03"
                   "a\x00"
                   "bc\x00\x00",
                   7),
       Appended([](M& m) {
         return m.WriteStringList() && m.AppendString("a") && m.AppendString("bc") && m.WriteEnd();
       })},
      {std::string("\x19\x00\x00\x00\x00\x00\x00\xF8\x3F", 9),
       Appended([](M& m) { return m.WriteDouble(1.5); })},
      {"\x14\x01", Appended([](M& m) { return m.WriteBool(true); })},
      {std::string("\x14\x00", 2), Appended([](M& m) { return m.WriteBool(false); })},
      {"\x17" + std::string(8, '\xFF'), Appended([](M& m) { return m.WriteInt64(-1); })},
      {"\x18\x08\x07\x06\x05\x04\x03\x02\x01",
       Appended([](M& m) { return m.WriteUInt64(0x0102030405060708ULL); })},
      {std::string("\x02n\x00", 3), Appended([](M& m) { return m.WriteName("n"); })},
      {std::string("\x1A"
                   "text\x00",
                   6),
       Appended([](M& m) { return m.WriteString("text"); })},
      {"\x05\x07", Appended([](M& m) { return m.WriteItem(7); })},
      {std::string("\x05x\x00", 3), Appended([](M& m) { return m.WriteItemText("x"); })},
      {"\x04", Appended([](M& m) { return m.WriteMarker(); })},
      {"\x1B", Appended([](M& m) { return m.WriteTag(27); })},
      {std::string(1, '\0'), Appended([](M& m) { return m.WriteEnd(); })},
  };
  for (const Case& c : cases) EXPECT_EQ(testing::PrintToString(c.expected), testing::PrintToString(c.got));
}

// What the reading loop of a stream saw, one entry per item, and where each
// item ended.
struct Reading {
  std::vector<std::string> items;
  std::vector<size_t> ends;  // offsets after each item read whole
  bool failed = false;       // a read gave none
};

std::string Text(const char* s) { return s != nullptr ? std::string(s) : "(none)"; }

Reading ReadAll(const CMessage_Property& m) {
  Reading r;
  const unsigned char* data = m.GetData();
  Cursor c = m.Begin();
  while (!m.IsEnd(c)) {
    std::string item;
    if (m.IsUInt16(c)) {
      item = "u16 " + std::to_string(m.ReadUInt16(c));
    } else if (m.IsName(c)) {
      item = "name " + Text(m.ReadName(c));
    } else if (m.IsStringList(c)) {
      const char* first = m.ReadStringList(c);
      item = "list";
      // Members follow one another: the walk must stay inside the message.
      for (const char* s = first; c != nullptr && *s != '\0'; s += strlen(s) + 1)
        item += " " + std::string(s);
    } else if (m.IsMarker(c)) {
      m.ReadTag(c);
      item = "marker";
    } else if (m.IsValue(c)) {
      int tag = m.ReadTag(c);
      char buf[64];
      switch (tag) {
        case 20: item = m.ReadBool(c) ? "bool 1" : "bool 0"; break;
        case 21: item = "i32 " + std::to_string(m.ReadInt32(c)); break;
        case 22: item = "u32 " + std::to_string(m.ReadUInt32(c)); break;
        case 23: item = "i64 " + std::to_string(m.ReadInt64(c)); break;
        case 24: item = "u64 " + std::to_string(m.ReadUInt64(c)); break;
        case 25: {
          double d = m.ReadDouble(c);
          uint64_t bits;
          std::memcpy(&bits, &d, sizeof bits);
          snprintf(buf, sizeof buf, "dbl %016llx", static_cast<unsigned long long>(bits));
          item = buf;
          break;
        }
        case 26: item = "str " + Text(m.ReadString(c)); break;
        default: return r;  // no reader: the loop must stop
      }
    } else {
      return r;  // items and unknown tags cannot be stepped over
    }
    if (c == nullptr) {
      r.failed = true;
      return r;
    }
    r.items.push_back(item);
    r.ends.push_back(static_cast<size_t>(c - data));
  }
  return r;
}

void WriteRoundTripStream(CMessage_Property& m) {
  ASSERT_TRUE(m.InitHeader(11, 0, false));
  ASSERT_TRUE(m.WriteBool(true));
  ASSERT_TRUE(m.WriteInt32(std::numeric_limits<int32_t>::min()));
  ASSERT_TRUE(m.WriteUInt32(0xFFFFFFFFu));
  ASSERT_TRUE(m.WriteInt64(std::numeric_limits<int64_t>::min()));
  ASSERT_TRUE(m.WriteUInt64(std::numeric_limits<uint64_t>::max()));
  ASSERT_TRUE(m.WriteDouble(-0.0));
  uint64_t nanBits = 0x7FF8000000000123ULL;
  double nan;
  std::memcpy(&nan, &nanBits, sizeof nan);
  ASSERT_TRUE(m.WriteDouble(nan));
  ASSERT_TRUE(m.WriteString(""));
  ASSERT_TRUE(m.WriteString("hello"));
  ASSERT_TRUE(m.WriteUInt16(0xBEEF));
  ASSERT_TRUE(m.WriteName("name"));
  ASSERT_TRUE(m.WriteMarker());
  ASSERT_TRUE(m.WriteStringList());
  ASSERT_TRUE(m.WriteEnd());  // the empty list
  ASSERT_TRUE(m.WriteStringList());
  ASSERT_TRUE(m.AppendString("a"));
  ASSERT_TRUE(m.AppendString("bc"));
  ASSERT_TRUE(m.WriteEnd());
  ASSERT_TRUE(m.WriteEnd());
}

const std::vector<std::string> kRoundTrip = {"bool 1",
                                             "i32 -2147483648",
                                             "u32 4294967295",
                                             "i64 -9223372036854775808",
                                             "u64 18446744073709551615",
                                             "dbl 8000000000000000",
                                             "dbl 7ff8000000000123",
                                             "str ",
                                             "str hello",
                                             "u16 48879",
                                             "name name",
                                             "marker",
                                             "list",
                                             "list a bc"};

TEST(MessageProperty, EveryReadableKindRoundTrips) {
  CMessage_Property m;
  WriteRoundTripStream(m);
  Reading r = ReadAll(m);
  EXPECT_FALSE(r.failed);
  EXPECT_EQ(kRoundTrip, r.items);
  EXPECT_EQ(m.GetLength() - 1, r.ends.back());  // stopped at the end tag

  // Any non-zero byte reads as true.
  unsigned char two[] = {0x5A, 20, 2};
  CMessage_Property view(two, sizeof two);
  Cursor c = view.Begin();
  EXPECT_TRUE(view.IsValue(c));
  EXPECT_EQ(20, view.ReadTag(c));
  EXPECT_TRUE(view.ReadBool(c));
  EXPECT_TRUE(view.IsEnd(c));

  // Strings are handed out in place, inside the message.
  unsigned char list[] = {0x5A, 3, 'a', 0, 'b', 'c', 0, 0, 2, 'n', 0};
  CMessage_Property lists(list, sizeof list);
  c = lists.Begin();
  const char* first = lists.ReadStringList(c);
  EXPECT_EQ(reinterpret_cast<const char*>(list + 2), first);
  EXPECT_EQ(list + 8, c);
  EXPECT_EQ(reinterpret_cast<const char*>(list + 9), lists.ReadName(c));
  EXPECT_TRUE(lists.IsEnd(c));
}

TEST(MessageProperty, NoCursorReadsNothingAndSaysSo) {
  unsigned char header[] = {0x5A};
  CMessage_Property one(header, 1);
  EXPECT_EQ(nullptr, one.Begin());
  EXPECT_TRUE(one.IsEnd(one.Begin()));

  CMessage_Property m;
  WriteRoundTripStream(m);
  Cursor none = nullptr;
  EXPECT_TRUE(m.IsEnd(none));
  EXPECT_FALSE(m.IsValue(none) || m.IsName(none) || m.IsUInt16(none) || m.IsStringList(none) ||
               m.IsMarker(none) || m.IsItem(none));
  EXPECT_EQ(CMessage_Property::kTagNone, m.ReadTag(none));
  EXPECT_EQ(nullptr, none);

  LogCapture log;
  Cursor c = nullptr;
  EXPECT_FALSE(m.ReadBool(c));
  EXPECT_EQ(0, m.ReadInt32(c));
  EXPECT_EQ(0u, m.ReadUInt32(c));
  EXPECT_EQ(0, m.ReadInt64(c));
  EXPECT_EQ(0u, m.ReadUInt64(c));
  EXPECT_EQ(0.0, m.ReadDouble(c));
  EXPECT_EQ(nullptr, m.ReadString(c));
  EXPECT_EQ(0, m.ReadUInt16(c));
  EXPECT_EQ(nullptr, m.ReadName(c));
  EXPECT_EQ(nullptr, m.ReadStringList(c));
  EXPECT_EQ(nullptr, c);
  EXPECT_TRUE(log.Has("CMessage_Property::ReadBool bad iterator"));
}

// Bytes at the very end of a readable page, the next page not accessible:
// any read past the message faults.
class PageEnd {
 public:
  PageEnd() {
    m_base = static_cast<unsigned char*>(
        ::VirtualAlloc(nullptr, 2 * kPage, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    DWORD old = 0;
    if (m_base != nullptr) ::VirtualProtect(m_base + kPage, kPage, PAGE_NOACCESS, &old);
  }
  ~PageEnd() {
    if (m_base != nullptr) ::VirtualFree(m_base, 0, MEM_RELEASE);
  }
  bool Ok() const { return m_base != nullptr; }
  unsigned char* Place(const std::string& bytes) {
    unsigned char* at = m_base + kPage - bytes.size();
    std::memcpy(at, bytes.data(), bytes.size());
    return at;
  }

 private:
  static const size_t kPage = 4096;
  unsigned char* m_base = nullptr;
};

TEST(MessageProperty, EveryPrefixOfAStreamReadsSafely) {
  CMessage_Property whole;
  WriteRoundTripStream(whole);
  std::string stream = Bytes(whole);
  Reading full = ReadAll(whole);
  PageEnd page;
  ASSERT_TRUE(page.Ok());
  LogCapture quiet(0);
  for (size_t n = 1; n < stream.size(); ++n) {
    CMessage_Property view(page.Place(stream.substr(0, n)), static_cast<uint32_t>(n));
    Reading r = ReadAll(view);
    size_t whole_items = 0;
    while (whole_items < full.ends.size() && full.ends[whole_items] <= n) ++whole_items;
    ASSERT_EQ(whole_items, r.items.size()) << "prefix " << n;
    for (size_t i = 0; i < r.items.size(); ++i) EXPECT_EQ(full.items[i], r.items[i]) << "prefix " << n;
    // An item cut by the end gives none; a prefix that ends between items
    // simply ends.
    bool cut = whole_items < full.ends.size() && (whole_items == 0 ? 1 : full.ends[whole_items - 1]) < n;
    EXPECT_EQ(cut, r.failed) << "prefix " << n;
  }
}

TEST(MessageProperty, HostileSingleCases) {
  PageEnd page;
  ASSERT_TRUE(page.Ok());
  LogCapture log;
  for (unsigned char tag : {20, 21, 22, 23, 24, 25, 26}) {
    std::string bytes = {'\x5A', static_cast<char>(tag)};
    CMessage_Property view(page.Place(bytes), 2);
    Reading r = ReadAll(view);
    EXPECT_TRUE(r.failed) << int(tag);
  }
  for (const std::string& bytes : {std::string("\x5A\x1Aunterminated"), std::string("\x5A\x02name"),
                                   std::string("\x5A\x03"
                                               "a\x00"
                                               "b\x00",
                                               6),
                                   std::string("\x5A\x01\x12")}) {
    CMessage_Property view(page.Place(bytes), static_cast<uint32_t>(bytes.size()));
    Reading r = ReadAll(view);
    EXPECT_TRUE(r.failed) << testing::PrintToString(bytes);
    EXPECT_TRUE(r.items.empty());
  }
  EXPECT_TRUE(log.Has("CMessage_Property::ReadBool bad iterator"));

  // A cursor of another message is no cursor here.
  CMessage_Property a, b;
  WriteRoundTripStream(a);
  WriteRoundTripStream(b);
  Cursor foreign = a.Begin();
  EXPECT_TRUE(b.IsEnd(foreign));
  EXPECT_EQ(CMessage_Property::kTagNone, b.ReadTag(foreign));
  foreign = a.Begin() + 1;
  EXPECT_FALSE(b.ReadBool(foreign));
  EXPECT_EQ(nullptr, foreign);
}

TEST(MessageProperty, WritersAppendAWholeItemOrNothing) {
  unsigned char room[8] = {0x5A, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
  CMessage_Property view;
  view.GetBuffer().Attach(room, 6, sizeof room);
  LogCapture log;
  EXPECT_FALSE(view.WriteInt32(1));
  EXPECT_EQ(6u, view.GetLength());
  EXPECT_EQ(0xEE, room[6]);
  EXPECT_TRUE(log.Has("CBufferBase<T>::Realloc called with attached buffer"));
  EXPECT_TRUE(view.WriteBool(true));  // two bytes still fit
  EXPECT_EQ(8u, view.GetLength());

  CMessage_Property m;
  m.InitHeader(11, 0, false);
  EXPECT_FALSE(m.WriteString(nullptr));
  EXPECT_FALSE(m.WriteName(nullptr));
  EXPECT_FALSE(m.WriteItemText(nullptr));
  EXPECT_FALSE(m.AppendString(nullptr));
  EXPECT_EQ(1u, m.GetLength());

  // The views of a queued message are attached: writing through them fails.
  CMessageClient request(0x30);
  CMessage_Internal queued(request, nullptr);
  EXPECT_FALSE(queued.GetProperty().WriteEnd());
  EXPECT_EQ(2u, queued.GetProperty().GetLength());
}

}  // namespace

#include <gtest/gtest.h>

#include <string>
#include <type_traits>
#include <vector>

#include "tvlib/buffers/buffer_queue.h"
#include "tvlib/ipc/message.h"
#include "tvlib/ipc/message_internal.h"

namespace {

typedef std::vector<unsigned char> Bytes;

Bytes BytesOf(const CMessage& m) { return Bytes(m.GetData(), m.GetData() + m.GetLength()); }

Bytes BytesOf(const CBufferBase<unsigned char>& b) { return Bytes(b.GetData(), b.GetData() + b.GetLength()); }

// A message whose byte 0 does not count: GetCommand must ask the slot.
class NeverValid : public CMessage {
 public:
  bool IsValid() const override { return false; }
};

class TestClientMessage : public CMessage_Client {
 public:
  using CMessage_Client::CMessage_Client;
  bool DecodePayload() override { return true; }
};

struct HeaderCase {
  int command, kind;
  bool flagged;
  unsigned char header;
};

TEST(MessageHeader, InitHeaderAndSetHeaderAgree) {
  const HeaderCase cases[] = {{11, 0, false, 0x5A},
                              {12, 0, false, 0x62},
                              {1, 1, false, 0x0C},
                              {3, 2, true, 0x19},
                              {31, 1, true, 0xFD}};
  for (const HeaderCase& c : cases) {
    CMessage m;
    ASSERT_TRUE(m.InitHeader(c.command, c.kind, c.flagged));
    EXPECT_EQ(Bytes{c.header}, BytesOf(m)) << c.command << "/" << c.kind;
    EXPECT_EQ(c.command, m.GetCommand());
    EXPECT_EQ(c.flagged, m.IsFlagged());
    EXPECT_EQ(c.kind == 0, m.IsRequest());
    EXPECT_EQ(c.kind == 1, m.IsAnswer());

    CMessage s;
    ASSERT_TRUE(s.SetHeader(c.flagged, c.kind == 0, c.kind == 1, c.command));
    EXPECT_EQ(BytesOf(m), BytesOf(s));
  }
}

TEST(MessageHeader, InitHeaderShortensToOneByte) {
  CMessageClient m(12);
  m.InitHeader(1, 1, false);
  EXPECT_EQ(Bytes{0x0C}, BytesOf(m));
}

TEST(MessageHeader, EmptyOrInvalidMessageHasNoHeader) {
  CMessage empty;
  EXPECT_FALSE(empty.IsValid());
  EXPECT_EQ(0, empty.GetCommand());
  EXPECT_FALSE(empty.IsFlagged() || empty.IsRequest() || empty.IsAnswer());

  NeverValid invalid;
  invalid.InitHeader(11, 0, true);
  EXPECT_EQ(0, invalid.GetCommand());
  EXPECT_FALSE(invalid.IsFlagged() || invalid.IsRequest() || invalid.IsAnswer());
}

TEST(MessageErrorAnswer, CopiesBitsCodeAndWholeRequest) {
  struct Case {
    Bytes request;
    uint16_t code;
    Bytes answer;
  } cases[] = {
      {{0x5A, 0x30}, 1, {0x0E, 0x01, 0x00, 0x5A, 0x30}},
      {{}, 1, {0x0C, 0x01, 0x00}},
      {{0x5B, 0x30}, 0x1234, {0x0F, 0x34, 0x12, 0x5B, 0x30}},
      {{0x59}, 2, {0x0D, 0x02, 0x00, 0x59}},
  };
  for (const Case& c : cases) {
    Bytes copy = c.request;
    CMessage request(copy.data(), static_cast<uint32_t>(copy.size()));
    CMessage answer(request, c.code);
    EXPECT_EQ(c.answer, BytesOf(answer));
    EXPECT_TRUE(answer.GetBuffer().IsOwned());
    EXPECT_EQ(CMessage::kCommandError, answer.GetCommand());
  }
  // A request whose slot says "not valid" has no bits to copy.
  NeverValid invalid;
  invalid.InitHeader(11, 0, true);
  EXPECT_EQ((Bytes{0x0C, 0x01, 0x00, 0x5B}), BytesOf(CMessage(invalid, 1)));
}

TEST(MessageClient, RequestCodeAndPayload) {
  EXPECT_EQ((Bytes{0x5A, 0x00}), BytesOf(CMessageClient()));
  CMessageClient m(21);
  EXPECT_EQ((Bytes{0x5A, 0x15}), BytesOf(m));
  EXPECT_EQ(21, m.GetCommand());
  EXPECT_EQ(11, static_cast<CMessage&>(m).GetCommand());  // the header's, not the code

  m.SetPayload(nullptr, 0);
  EXPECT_EQ((Bytes{0x5A, 0x15}), BytesOf(m));

  CBufferBase<unsigned char> out;
  out.Append(static_cast<unsigned char>(0xEE));
  m.GetPayload(out);
  EXPECT_EQ(Bytes{0xEE}, BytesOf(out));  // left as it was

  const unsigned char payload[] = {1, 2};
  m.SetPayload(payload, 2);
  EXPECT_EQ((Bytes{0x5A, 0x15, 1, 2}), BytesOf(m));
  m.GetPayload(out);
  EXPECT_EQ((Bytes{1, 2}), BytesOf(out));

  const unsigned char shorter[] = {9};
  m.SetPayload(shorter, 1);
  EXPECT_EQ((Bytes{0x5A, 0x15, 9}), BytesOf(m));
}

TEST(MessageClient, GenericTwoByteHeader) {
  TestClientMessage m(3, 7);
  EXPECT_EQ((Bytes{0x1A, 0x07}), BytesOf(m));
  EXPECT_EQ(7, m.GetValue());
  EXPECT_TRUE(m.IsRequest());
  EXPECT_EQ(Bytes{0x00}, BytesOf(TestClientMessage()));

  TestClientMessage one;
  CBufferBase<unsigned char> out;
  out.Append(static_cast<unsigned char>(0xEE));
  one.GetPayload(out);
  EXPECT_TRUE(out.IsEmpty());  // shorter than 2 bytes: empty, not left as it was

  const unsigned char payload[] = {4, 5, 6};
  m.SetPayload(payload, 3);
  m.GetPayload(out);
  EXPECT_EQ((Bytes{4, 5, 6}), BytesOf(out));
}

TEST(MessageInternal, SurvivesTheQueue) {
  static_assert(!std::is_copy_constructible<CMessage_Internal>::value, "views would be freed twice");
  static_assert(!std::is_copy_assignable<CMessage_Internal>::value, "views would be freed twice");

  CMessageClient request(13);
  const unsigned char name[] = {'S', 'N', '0', '1'};
  request.SetPayload(name, 4);
  auto* connection = reinterpret_cast<CServerPipeConnection*>(static_cast<uintptr_t>(0x1122334455667788ull));

  CBuffer_Queue queue(64, 0);
  {
    CMessage_Internal record(request, connection);
    EXPECT_EQ(sizeof(void*) + request.GetLength(), record.GetRecord().GetLength());
    ASSERT_TRUE(queue.PushBuffer(record.GetRecord(), true, false));
  }
  CBufferBase<unsigned char> popped;
  ASSERT_TRUE(queue.PopBuffer(popped, false));

  // Popped bytes at an odd offset: the address must be copied, not cast.
  Bytes shifted(1, 0);
  shifted.insert(shifted.end(), popped.GetData(), popped.GetData() + popped.GetLength());
  CMessage_Internal rebuilt(shifted.data() + 1, popped.GetLength());
  EXPECT_EQ(connection, rebuilt.GetConnection());
  EXPECT_EQ(BytesOf(request), BytesOf(rebuilt.GetMessage()));
  EXPECT_EQ(BytesOf(request), BytesOf(rebuilt.GetProperty()));
  EXPECT_FALSE(rebuilt.GetMessage().GetBuffer().IsOwned());
  EXPECT_EQ(CMessage::kCommandClient, rebuilt.GetMessage().GetCommand());

  rebuilt.SetConnection(nullptr);
  EXPECT_EQ(nullptr, rebuilt.GetConnection());
  EXPECT_EQ(BytesOf(request), BytesOf(rebuilt.GetMessage()));
}

TEST(MessageInternal, ShortRecordHasNoConnection) {
  const unsigned char record[5] = {1, 2, 3, 4, 5};
  CMessage_Internal m(record, 5);
  EXPECT_EQ(nullptr, m.GetConnection());
  EXPECT_EQ(0, m.GetMessage().GetCommand());
}

}  // namespace

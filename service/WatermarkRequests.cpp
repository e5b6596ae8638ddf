// The control requests of the pipe, answered on the server thread one per
// loop turn (see WatermarkServer.h for the records they come from).
#include <cstring>

#include "service/WatermarkBoard.h"
#include "service/WatermarkMain.h"
#include "service/WatermarkServer.h"
#include "tvlib/ipc/message.h"
#include "tvlib/ipc/server_pipe.h"
#include "tvlib/log/log.h"

namespace {

enum {
  kClearUserWords = 11,
  kProductInfo = 12,
  kBoardBlock = 13,
  kProductsDirectory = 14,
  kProcessId = 15,
  kUpgradeEnter = 16,
  kUpgradeLeave = 17,
  kSetUserWord = 18,
  kCloseConnection = 19,
  kStopServer = 20,
  kPing = 21,
};

void AppendWord(CBufferBase<unsigned char>& out, uint32_t value) {
  const unsigned char bytes[4] = {static_cast<unsigned char>(value), static_cast<unsigned char>(value >> 8),
                                  static_cast<unsigned char>(value >> 16),
                                  static_cast<unsigned char>(value >> 24)};
  out.Append(bytes, 4);
}

void AppendText(CBufferBase<unsigned char>& out, const std::string& text) {
  out.Append(reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
}

std::string PayloadText(const CBufferBase<unsigned char>& payload, uint32_t from) {
  if (payload.GetLength() <= from) return std::string();
  return std::string(reinterpret_cast<const char*>(payload.GetData()) + from, payload.GetLength() - from);
}

}  // namespace

std::string CWatermark_Server::GetProductInfo() {
  return "watermark;Watermark;" +
         FormatString("%2.2d.%2.2d.%4.4d", kVersionMajor, kVersionMinor, kVersionBuild);
}

CBufferBase<unsigned char> CWatermark_Server::GetProductsDirectory() {
  CBufferBase<unsigned char> directory;
  CSettingsMap::const_iterator it = m_settings.find("PRODUCTS");
  if (it == m_settings.end()) {
    LogLevel8("CWatermark_Server No Products directory");
    return directory;
  }
  AppendText(directory, it->second);
  return directory;
}

void CWatermark_Server::AppendBoardBlock(const std::string& name, CBufferBase<unsigned char>& reply) {
  if (name.empty()) return;
  CWatermark_Board* board = FindBoard(name);
  if (board == nullptr) return;
  uint32_t size = 0;
  std::string blockName;
  if (!board->GetBlockInfo(size, blockName)) return;
  AppendWord(reply, size);
  AppendText(reply, blockName);
}

void CWatermark_Server::HandleClientRequest(CServerPipeConnection* connection, const CMessage& request) {
  // Any header of command 11 reads as 0x5A; a header alone as request code 0.
  const uint32_t n = request.GetLength();
  CMessageClient normalised(n >= 2 ? request.GetData()[1] : 0);
  if (n > 2) normalised.SetPayload(request.GetData() + 2, n - 2);
  const int code = normalised.GetCommand();
  CBufferBase<unsigned char> payload;
  normalised.GetPayload(payload);

  CBufferBase<unsigned char> reply;
  bool answer = true;
  bool malformed = false;
  switch (code) {
    case kClearUserWords: {
      CCriticalSectionLocker lock(connection->GetWriteLock());
      connection->SetUserWord(0, 0);
      connection->SetUserWord(1, 0);
      answer = false;
      break;
    }
    case kProductInfo: AppendText(reply, GetProductInfo()); break;
    case kBoardBlock: AppendBoardBlock(PayloadText(payload, 0), reply); break;
    case kProductsDirectory: reply = GetProductsDirectory(); break;
    case kProcessId: AppendWord(reply, ::GetCurrentProcessId()); break;
    case kUpgradeEnter:
    case kUpgradeLeave: {
      // The upgrade byte must be there; reading it from an empty payload
      // would read past the request.
      if (payload.GetLength() < 1) {
        malformed = true;
        break;
      }
      const std::string name = PayloadText(payload, 1);
      if (SetBoardUpgrade(name, payload[0])) AppendText(reply, name);
      break;
    }
    case kSetUserWord: {
      if (payload.GetLength() < 4) {
        malformed = true;
        break;
      }
      uint32_t value = 0;
      for (int i = 3; i >= 0; --i) value = (value << 8) | payload[i];
      connection->SetUserWord(2, value);
      break;
    }
    case kCloseConnection:
      if (m_pPipe != nullptr) m_pPipe->RemoveConnection(connection);
      answer = false;
      break;
    case kStopServer:
      RequestStop();
      answer = false;
      break;
    case kPing: break;
    default: malformed = true; break;
  }

  if (malformed) {
    CMessage error(normalised, 1);
    connection->SetMessage(error.GetBuffer());
    return;
  }
  if (!answer) return;
  CMessageClient message(static_cast<uint8_t>(code));
  message.SetPayload(reply.GetData(), reply.GetLength());
  connection->SetMessage(message.GetBuffer());
}

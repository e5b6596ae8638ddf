#include "WatermarkBoard.h"

#include <cstring>
#include <new>

#include "BaseDriver.h"
#include "BoardBlock.h"
#include "tvlib/ipc/shared_memory.h"
#include "tvlib/log/log.h"

CWatermark_Board::CWatermark_Board(CWatermark_Server* server, const std::string& baseDirectory,
                                   CBaseDriver* prototype, int32_t boardIndex, const char* loadPath)
    : CThread(3),
      m_wakeCondition(nullptr),
      m_baseDirectory(baseDirectory),
      m_pServer(server),
      m_pDriver(nullptr),
      m_boardIndex(boardIndex),
      m_serialNumber(0),
      m_byteOrderMark(false),
      m_pSharedMemBuf(nullptr),
      m_pSettings(nullptr),
      m_pSharedMem(nullptr),
      m_loadPath(loadPath),
      m_threadPos(-1),
      m_channelCount(-1),
      m_firstChannel(-1),
      m_latency(512) {
  ::InitializeCriticalSection(&m_configLock);
  ::InitializeCriticalSection(&m_sharedMemLock);
  memset(m_settingsImage, 0, sizeof m_settingsImage);
  m_pDriver = prototype ? prototype->Clone(boardIndex) : nullptr;
  if (m_pDriver) m_pDriver->Open(-1);
}

CWatermark_Board::~CWatermark_Board() {
  // Members die before ~CThread could stop a thread that still uses them.
  Stop();
  delete m_pDriver;
  m_pDriver = nullptr;
  LogLevel9("%s: +++++++ CWatermark_Board::~CWatermark_Board +++++", GetName().c_str());
  // The thread deletes the block on its way out; one still here (a thread
  // that never ran, or ended early) must not leak its mapping.
  m_pSharedMem = nullptr;
  m_pSettings = nullptr;
  delete m_pSharedMemBuf;
  m_pSharedMemBuf = nullptr;
  ::DeleteCriticalSection(&m_sharedMemLock);
  ::DeleteCriticalSection(&m_configLock);
}

void CWatermark_Board::RequestStop() {
  const std::string name = GetName();
  LogLevel9("%s: +++++++ CWatermark_Board::RequestStop (pos %d)+++++", name.c_str(), m_threadPos.load());
  CThread::RequestStop();
  LogLevel9("%s: +++++++ CWatermark_Board::RequestStop Locking wakeup +++++", name.c_str());
  CMutex* mutex = m_wakeCondition.GetMutex();
  mutex->Lock();
  LogLevel9("%s: +++++++ CWatermark_Board::RequestStop Waking up+++++", name.c_str());
  m_wakeCondition.Broadcast();
  mutex->Unlock();
  LogLevel9("%s: +++++++ CWatermark_Board::RequestStop DONE +++++", name.c_str());
}

uint32_t CWatermark_Board::GetSerialNumber() {
  if (m_serialNumber == 0 && m_pDriver != nullptr) m_serialNumber = m_pDriver->GetSerialNumber();
  return m_serialNumber;
}

std::string CWatermark_Board::GetName() { return FormatString("SN%08X", GetSerialNumber()); }

std::string CWatermark_Board::GetSerialString() { return FormatString("%08X", GetSerialNumber()); }

std::string CWatermark_Board::GetConfigDirectory() {
  return m_baseDirectory + "\\" + GetSerialString() + "\\";
}

bool CWatermark_Board::GetBlockInfo(uint32_t& size, std::string& name) {
  CCriticalSectionLocker lock(m_sharedMemLock);
  if (m_pSharedMemBuf == nullptr) return false;
  size = m_pSharedMemBuf->GetSize();
  name = m_pSharedMemBuf->GetName();
  return true;
}

bool CWatermark_Board::CreateSharedMemory() {
  if (m_pDriver == nullptr || !m_pDriver->IsOpen() || m_pSharedMem != nullptr) return m_pSharedMem != nullptr;
  m_serialNumber = m_pDriver->GetSerialNumber();
  CCriticalSectionLocker lock(m_sharedMemLock);
  delete m_pSharedMemBuf;
  m_pSharedMemBuf = nullptr;
  const std::string name = kBoardBlockPrefix + GetSerialString();
  CSharedMemoryBuffer* block = new (std::nothrow) CSharedMemoryBuffer(
      name.c_str(), CSharedMemoryBuffer::kRead | CSharedMemoryBuffer::kWrite | CSharedMemoryBuffer::kCreate,
      kBoardBlockSize);
  // A name squatted by a smaller section, or a console run without the right
  // to create global objects, leaves no view to write.
  if (block == nullptr || !block->IsOk()) {
    LogError("%s: Can not create shared memory %s", GetName().c_str(), name.c_str());
    delete block;
    return false;
  }
  m_pSharedMemBuf = block;
  m_pSharedMem = block->GetData();
  InitBoardBlock(m_pSharedMem);
  m_pSettings = m_pSharedMem + kBlockSettingsOffset;
  return true;
}

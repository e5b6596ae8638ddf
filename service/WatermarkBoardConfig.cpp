// The board's XML configuration: the board's locks and fields around the
// rules of BoardConfig.h.
#include <cstring>

#include "service/BoardConfig.h"
#include "service/WatermarkBoard.h"
#include "service/WatermarkChannel.h"
#include "tvlib/log/log.h"

CBoardConfigFiles CWatermark_Board::ConfigFiles() {
  CBoardConfigFiles files;
  files.basePath = BoardConfigBasePath(GetConfigDirectory());
  files.loadPath = m_loadPath;
  files.serialString = GetSerialString();
  files.name = GetName();
  return files;
}

bool CWatermark_Board::LoadConfig() {
  const CBoardConfigFiles files = ConfigFiles();
  CReadLocker channels(m_channelsLock);
  // Without the channel list the file is still read; the channels keep what
  // they hold.
  const int count = channels.Started() ? static_cast<int>(m_channels.GetLength()) : 0;
  CCriticalSectionLocker lock(m_configLock);
  CBoardConfigParse parsed;
  if (!LoadBoardConfig(m_document, m_byteOrderMark, files, count, &parsed)) return false;

  m_latency = parsed.latency;
  memcpy(m_settingsImage, &parsed.latencyMode, sizeof parsed.latencyMode);
  {
    // A board whose driver never opened has no block; the server thread may
    // read the pointers meanwhile (a block request, SetUpgrade).
    CCriticalSectionLocker memory(m_sharedMemLock);
    if (m_pSettings != nullptr) {
      // Clients read the area unlocked: whole words only.
      for (uint32_t at = 0; at < kSettingsImageSize; at += 4) {
        uint32_t word;
        memcpy(&word, m_settingsImage + at, sizeof word);
        StoreU32(m_pSettings + at, word);
      }
    }
  }
  for (int i = 0; i < count && i < static_cast<int>(parsed.channels.size()); ++i) {
    CWatermark_Channel* channel = m_channels[static_cast<uint32_t>(i)];
    if (channel == nullptr) continue;
    channel->LoadConfig(parsed.channels[size_t(i)].element, parsed.version);
    if (parsed.channels[size_t(i)].copied) channel->SetConfigChanged();
  }
  return true;
}

CWatermark_Board::ChannelConfigLoad CWatermark_Board::LoadChannelConfig(CWatermark_Channel& channel) {
  const std::string serial = GetSerialString();
  CCriticalSectionLocker lock(m_configLock);
  const TiXmlElement* config = FindConfigRoot(m_document);
  if (config == nullptr) {
    channel.LoadConfig(nullptr, 0);
    return kChannelConfigDefaults;
  }
  uint32_t version = 0;
  ParseConfigVersion(config->Attribute("version"), &version);
  const CChannelConfigChoice choice = ChooseChannelConfig(config, channel.GetIndex(), serial);
  channel.LoadConfig(choice.element, version);
  if (choice.element == nullptr) return kChannelConfigMissing;
  if (choice.copied) channel.SetConfigChanged();
  return kChannelConfigLoaded;
}

bool CWatermark_Board::SaveConfig() {
  const CBoardConfigFiles files = ConfigFiles();
  // Without the channel list the channels are skipped, not the save.
  const bool channelsLocked = m_channelsLock.Read_Start() == 0;
  CCriticalSectionLocker lock(m_configLock);
  TiXmlElement* config = PrepareBoardConfigSave(m_document, m_latency);
  bool saved = config != nullptr;
  if (saved && channelsLocked) {
    saved = SaveChannelConfigs(config, static_cast<int>(m_channels.GetLength()), files.serialString,
                               [this](int index, TiXmlElement* element) {
                                 CWatermark_Channel* channel = m_channels[static_cast<uint32_t>(index)];
                                 return channel == nullptr || channel->SaveConfig(element);
                               });
  }
  // The files take a while to write; the board thread may want its channels.
  if (channelsLocked) m_channelsLock.Read_End();
  return saved && WriteBoardConfigCopies(m_document, m_byteOrderMark, files);
}

// The channel's side of the board's XML configuration: its element name, the
// load of its settings from the document (or, after a restart in place, from
// its record in the block) and their save back into the document.
#include "service/BoardBlock.h"
#include "service/BoardConfig.h"
#include "service/WatermarkChannel.h"

std::string CWatermark_Channel::GetShortName() const { return ChannelConfigName(m_index); }

bool CWatermark_Channel::LoadConfig(const TiXmlElement* element, uint32_t version) {
  (void)version;
  CCriticalSectionLocker lock(m_configLock);
  const CChannelConfigValues values = ReadChannelConfigElement(element, m_settingsFlags);
  m_settingsFlags = values.flags;
  m_settingsChannel = values.watermarkingChannel;
  if (m_pSettings != nullptr)
    StoreSettingsRecord(m_pSettings, SettingsRecord{m_settingsFlags, m_settingsChannel});
  m_configChanged = false;
  return true;
}

bool CWatermark_Channel::LoadConfigFromRecord() {
  CCriticalSectionLocker lock(m_configLock);
  if (m_pSettings != nullptr) {
    const SettingsRecord record = LoadSettingsRecord(m_pSettings);
    m_settingsFlags = record.flags;
    m_settingsChannel = record.watermarkingChannel;
  }
  m_configChanged = false;
  return true;
}

bool CWatermark_Channel::SaveConfig(TiXmlElement* element) {
  if (element == nullptr) return false;
  // The record, not the cache: a client's write that this channel's update
  // has not seen yet is still the newest value.
  SettingsRecord record = {m_settingsFlags, m_settingsChannel};
  if (m_pSettings != nullptr) record = LoadSettingsRecord(m_pSettings);
  WriteChannelConfigElement(element, record.flags, record.watermarkingChannel);
  return true;
}

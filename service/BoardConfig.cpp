#include "service/BoardConfig.h"

#include <cstdlib>
#include <cstring>

#include "service/WatermarkMain.h"
#include "tvlib/files/files.h"
#include "tvlib/files/rotating.h"
#include "tvlib/log/log.h"
#include "tvlib/time/clock.h"
#include "tvlib/xml/xml.h"
#include "tvlib/win.h"

namespace {

const char kConfigFileName[] = "watermark_config.xml";
const char kRootName[] = "config";

uint32_t VersionValue(uint32_t a, uint32_t b, uint32_t c) { return a << 24 | b << 16 | c; }

bool IsForced(const CBoardConfigFiles& files) { return files.loadPath != nullptr && *files.loadPath != '\0'; }

// A rotating copy that is not XML leaves the rotation. The move is complete
// and atomic within the directory; the copy-and-delete fallback deletes only
// what it really copied, so a failed backup never costs the file.
bool SetAsideRejectedCopy(const std::string& file, const std::string& backup) {
  if (::MoveFileExA(file.c_str(), backup.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    return true;
  if (!FileCopyNoBuffering(file, backup)) return false;
  FileDelete(file);
  return true;
}

// One try of a load. True when the file parsed and now fills the document.
bool TryConfigFile(const std::string& file, bool forced, TiXmlDocument& document, bool& byteOrderMark,
                   const CBoardConfigFiles& files, int channelCount, CBoardConfigParse* parsed) {
  const char* serial = files.serialString.c_str();
  // Loaded apart from the board's document: TinyXML clears a document before
  // it parses and keeps whatever it read before an error, and a rejected file
  // must not leave any of its values behind.
  TiXmlDocument scratch;
  bool scratchMark = false;
  if (LoadXmlFile(scratch, file, TIXML_ENCODING_UTF8, &scratchMark)) {
    CBoardConfigParse parse;
    if (ParseBoardConfig(scratch, channelCount, files, &parse)) {
      document = scratch;
      byteOrderMark = scratchMark;
      // The choices pointed into the scratch document; the copy has the same
      // tree, so the same names find the same elements.
      const TiXmlElement* config = FindConfigRoot(document);
      for (size_t i = 0; i < parse.channels.size(); ++i) {
        const int source = parse.channels[i].copied ? static_cast<int>(i) - 1 : static_cast<int>(i);
        parse.channels[i].element = config->FirstChildElement(ChannelConfigName(source).c_str());
      }
      parse.file = file;
      *parsed = parse;
      LogLevel8("%s: Using xml config file %s", serial, file.c_str());
      return true;
    }
    const std::string backup = FailedConfigBackupPath(file, time(nullptr));
    FileCopyNoBuffering(file, backup);
    LogLevel2("%s: Failed to reload xml config file %s (backup in %s)", serial, file.c_str(), backup.c_str());
    return false;
  }

  if (!FileExists(file)) {
    LogLevel2("%s: xml config file %s does not exists", serial, file.c_str());
    return false;
  }
  if (scratch.ErrorId() == TiXmlBase::TIXML_ERROR_OPENING_FILE) {
    // Held by another program (a scanner, a backup, an editor) or a directory
    // of that name: the file may well be good, so it is neither backed up nor
    // deleted.
    LogLevel2("%s: Can not open xml config file %s, kept", serial, file.c_str());
    return false;
  }
  const std::string backup = FailedConfigBackupPath(file, time(nullptr));
  // The forced file is the operator's, shared by every board: it stays for
  // the operator to mend.
  const bool backedUp = forced ? FileCopyNoBuffering(file, backup) : SetAsideRejectedCopy(file, backup);
  if (backedUp) {
    LogLevel2("%s: Failed to reload existing xml config file %s (backup in %s)", serial, file.c_str(),
              backup.c_str());
  } else {
    LogLevel2("%s: Failed to reload existing xml config file %s (no backup, kept)", serial, file.c_str());
  }
  LogLevel8("LoadConfig Xml parse error: %s", scratch.ErrorDesc());
  return false;
}

}  // namespace

std::string BoardConfigBasePath(const std::string& configDirectory) {
  return configDirectory + kConfigFileName;
}

std::string FailedConfigBackupPath(const std::string& file, time_t now) {
  return file + "-" + FormatLocalTime(now, "%Y-%m-%d_%H-%M-%S") + ".failed.xml";
}

std::string ChannelConfigName(int index) { return FormatString("ch%d", index + 1); }

std::string ConfigVersionText() {
  return FormatString("%d.%d.%d", kVersionMajor, kVersionMinor, kVersionBuild);
}

bool ParseConfigVersion(const char* text, uint32_t* value) {
  if (text == nullptr) return false;
  uint32_t parts[3] = {0, 0, 0};
  int count = 0;
  const char* p = text;
  while (count < 3) {
    char* end = nullptr;
    const unsigned long part = strtoul(p, &end, 10);
    if (end == p) break;
    parts[count++] = static_cast<uint32_t>(part);
    if (*end != '.') break;
    p = end + 1;
  }
  if (count < 2) return false;
  if (value != nullptr) *value = VersionValue(parts[0], parts[1], parts[2]);
  return true;
}

bool IsOlderConfigVersion(const char* text) {
  uint32_t value = 0;
  if (!ParseConfigVersion(text, &value)) return true;
  return value < VersionValue(kVersionMajor, kVersionMinor, kVersionBuild);
}

int32_t LatencyModeFromConfig(const char* latency, uint32_t* frames) {
  const uint32_t value = latency != nullptr ? static_cast<uint32_t>(strtoul(latency, nullptr, 10)) : 0;
  int32_t mode = 1;
  uint32_t chosen = 2560;
  if (value == 512) {
    mode = 0;
    chosen = 512;
  } else if (value == 5120) {
    mode = 2;
    chosen = 5120;
  }
  if (frames != nullptr) *frames = chosen;
  return mode;
}

CChannelConfigValues ReadChannelConfigElement(const TiXmlElement* element, int32_t flags) {
  CChannelConfigValues values = {flags & ~1, 0};
  if (element == nullptr) return values;
  const char* enable = element->Attribute("enable");
  if (enable != nullptr && strcmp(enable, "true") == 0) values.flags |= 1;
  uint32_t channel = 0;
  Attribute(element, "watermarking_channel", &channel);
  values.watermarkingChannel = static_cast<int32_t>(channel);
  return values;
}

void WriteChannelConfigElement(TiXmlElement* element, int32_t flags, int32_t watermarkingChannel) {
  element->SetAttribute("enable", (flags & 1) != 0 ? "true" : "false");
  SetAttribute(element, "watermarking_channel", static_cast<uint32_t>(watermarkingChannel));
}

const TiXmlElement* FindConfigRoot(const TiXmlDocument& document) {
  const TiXmlNode* node = document.FirstChild(kRootName);
  return node != nullptr ? node->ToElement() : nullptr;
}

TiXmlElement* FindConfigRoot(TiXmlDocument& document) {
  TiXmlNode* node = document.FirstChild(kRootName);
  return node != nullptr ? node->ToElement() : nullptr;
}

CChannelConfigChoice ChooseChannelConfig(const TiXmlElement* config, int index,
                                         const std::string& serialString) {
  CChannelConfigChoice choice = {nullptr, false};
  if (config == nullptr) return choice;
  choice.element = config->FirstChildElement(ChannelConfigName(index).c_str());
  if (choice.element == nullptr && index > 0) {
    choice.element = config->FirstChildElement(ChannelConfigName(index - 1).c_str());
    if (choice.element != nullptr) {
      choice.copied = true;
      LogLevel2("%s channel %u: using configuration of channel %u", serialString.c_str(),
                static_cast<unsigned>(index), static_cast<unsigned>(index - 1));
    }
  }
  return choice;
}

bool ParseBoardConfig(const TiXmlDocument& document, int channelCount, const CBoardConfigFiles& files,
                      CBoardConfigParse* parsed) {
  const TiXmlElement* config = FindConfigRoot(document);
  if (config == nullptr) return false;

  CBoardConfigParse parse;
  const char* version = config->Attribute("version");
  if (IsOlderConfigVersion(version)) LogLevel2("%s: getting config from older version", files.name.c_str());
  parse.version = 0;
  ParseConfigVersion(version, &parse.version);
  parse.latencyMode = LatencyModeFromConfig(config->Attribute("latency"), &parse.latency);

  for (int i = 0; i < channelCount; ++i) {
    const CChannelConfigChoice choice = ChooseChannelConfig(config, i, files.serialString);
    if (choice.element == nullptr) return false;
    parse.channels.push_back(choice);
  }
  *parsed = parse;
  return true;
}

bool LoadBoardConfig(TiXmlDocument& document, bool& byteOrderMark, const CBoardConfigFiles& files,
                     int channelCount, CBoardConfigParse* parsed) {
  const bool forced = IsForced(files);
  int32_t index = 0;
  if (!forced) {
    index = GetNewestFileIndex(files.basePath, kBoardConfigCopies);
    if (index == 0) {
      LogLevel2("%s: *** NO WAY TO RELOAD A CONFIG !", files.serialString.c_str());
      return false;
    }
  }
  // One try of the forced file: every board shares it, and five tries of one
  // file would only make five backups.
  const int tries = forced ? 1 : kBoardConfigCopies;
  for (int attempt = 0; attempt < tries; ++attempt) {
    const std::string file = forced ? std::string(files.loadPath) : files.basePath + FormatCopyIndex(index);
    if (TryConfigFile(file, forced, document, byteOrderMark, files, channelCount, parsed)) return true;
    index = index > 1 ? index - 1 : kBoardConfigCopies;
  }
  LogLevel2("%s: *** NO WAY TO RELOAD A CONFIG !", files.serialString.c_str());
  return false;
}

TiXmlElement* PrepareBoardConfigSave(TiXmlDocument& document, uint32_t latency) {
  TiXmlElement* config = nullptr;
  if (document.FirstChild() != nullptr) {
    config = FindConfigRoot(document);
    if (config == nullptr) return nullptr;
  } else {
    document.LinkEndChild(new TiXmlDeclaration("1.0", "UTF-8", "yes"));
    config = new TiXmlElement(kRootName);
    document.LinkEndChild(config);
  }
  config->SetAttribute("version", ConfigVersionText().c_str());
  SetAttribute(config, "latency", latency);
  return config;
}

TiXmlElement* FindOrAddChannelConfig(TiXmlElement* config, int index) {
  const std::string name = ChannelConfigName(index);
  TiXmlElement* element = config->FirstChildElement(name.c_str());
  if (element != nullptr) return element;
  TiXmlNode* added = config->LinkEndChild(new TiXmlElement(name.c_str()));
  return added != nullptr ? added->ToElement() : nullptr;
}

bool SaveChannelConfigs(TiXmlElement* config, int channelCount, const std::string& serialString,
                        const std::function<bool(int index, TiXmlElement* element)>& saveChannel) {
  for (int i = 0; i < channelCount; ++i) {
    TiXmlElement* element = FindOrAddChannelConfig(config, i);
    if (element == nullptr) continue;
    if (!saveChannel(i, element)) {
      LogLevel2("%s: Failed to save xml config !", serialString.c_str());
      return false;
    }
  }
  return true;
}

bool WriteBoardConfigCopies(const TiXmlDocument& document, bool byteOrderMark,
                            const CBoardConfigFiles& files) {
  const char* serial = files.serialString.c_str();
  LogLevel9("%s: Changes detected, saving xml config !", serial);
  int32_t index = GetOldestFileIndex(files.basePath, kBoardConfigCopies);
  if (index == 0) {
    LogLevel2("%s: *** XML CONFIG SAVE NO FILE INDEX !", serial);
    return false;
  }
  std::string text;
  text.reserve(0x8000);
  SaveToString(document, text, byteOrderMark);
  for (int attempt = 0; attempt < kBoardConfigCopies; ++attempt) {
    const std::string file = files.basePath + FormatCopyIndex(index);
    if (FileWrite_NoCache(file, text)) {
      // The content is safe either way; a copy left undated may only lose
      // its place as the newest after a clock step.
      if (!StampNewestCopy(files.basePath, kBoardConfigCopies, index))
        LogLevel2("%s: Can not date xml config file %s", serial, file.c_str());
      LogLevel8("%s: Saved xml config file %s", serial, file.c_str());
      return true;
    }
    LogLevel2("%s: Failed to save xml config to %s !", serial, file.c_str());
    index = index < kBoardConfigCopies ? index + 1 : 1;
  }
  return false;
}

void CConfigSaveTimer::Change(uint64_t now) {
  if (m_saveCap == 0) m_saveCap = now + kCapMs;
  m_saveTime = now + kDelayMs;
  if (m_saveCap < m_saveTime) m_saveTime = m_saveCap;
}

bool CConfigSaveTimer::IsDue(uint64_t now) const { return m_saveTime > 0 && m_saveTime < now; }

void CConfigSaveTimer::Clear() {
  m_saveTime = 0;
  m_saveCap = 0;
}

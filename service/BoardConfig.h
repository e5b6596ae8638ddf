// The rules of a board's XML configuration file: which file a load takes,
// what happens to copies that are rejected, how the document reads and
// writes, and when changed settings are saved.
//
// Files, for a board with configuration directory D (CFG\<serial>\):
// "D\watermark_config.xml.1" .. ".5" are rotating copies; a load takes the
// newest copy that parses and a save writes the oldest one (or the first
// missing one), so a save that succeeds never overwrites the newest copy. A
// forced file (--load) replaces the copies for every load; saves still go to
// the copies. Rejected files are set aside as "<file>-<local time>.failed.xml".
//
// Document: a declaration, a root "config" with "version" ("1.0.14") and
// "latency" (frames), and one element "ch<n>" per channel (n from 1) with
// "enable" ("true"/"false") and "watermarking_channel" (an index into the
// embedder's channel names). A loaded document keeps everything else it holds
// (comments, unknown attributes and elements, channels the board no longer
// has); new elements go at the end of "config".
//
// Threads and locks: stateless functions. The board holds its configuration
// lock around every call that reads or changes its document, and takes its
// channels lock (when it needs the channels) before that lock. Nothing here
// touches the board's shared memory or its channels: the results say what the
// caller applies. Log lines carry the board's names as given in
// CBoardConfigFiles.
#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

#include "tinyxml.h"

// Rotating copies of a board's configuration.
const int kBoardConfigCopies = 5;

// Where a board's configuration lives and how its lines name the board.
struct CBoardConfigFiles {
  std::string basePath;      // "<configuration directory>watermark_config.xml", without a copy suffix
  const char* loadPath;      // the forced file of every load, or null (or "") for the copies
  std::string serialString;  // "%08X" of the serial: the first field of most lines
  std::string name;          // "SN%08X": the first field of the older-version line
};

// "<configuration directory>watermark_config.xml"; the directory ends with '\'.
std::string BoardConfigBasePath(const std::string& configDirectory);
// Where a rejected file is set aside: "<file>-%Y-%m-%d_%H-%M-%S.failed.xml" in
// local time.
std::string FailedConfigBackupPath(const std::string& file, time_t now);

// ---- Plain values

// A channel's element name: "ch%d" of index + 1.
std::string ChannelConfigName(int index);

// The program version as written into a file: "1.0.14".
std::string ConfigVersionText();
// a << 24 | b << 16 | c of "a.b.c" (missing parts 0); false when the text is
// null or holds fewer than two numbers.
bool ParseConfigVersion(const char* text, uint32_t* value);
// Missing, fewer than two numbers, or below this program's version.
bool IsOlderConfigVersion(const char* text);

// The latency mode of a file's "latency" (null: no attribute): 512 -> 0,
// 2560 -> 1, 5120 -> 2; any other value, or none, reads as 2560 and mode 1.
// `frames` receives the latency in frames.
int32_t LatencyModeFromConfig(const char* latency, uint32_t* frames);

// One channel's settings as the file keeps them: bit 0 of the flags is the
// enable flag, the other bits are the caller's and never reach the file.
struct CChannelConfigValues {
  int32_t flags;
  int32_t watermarkingChannel;
};

// The settings that `element` gives a channel whose flags word is `flags`:
// "enable" exactly "true" sets bit 0, anything else clears it;
// "watermarking_channel" read as unsigned decimal into the signed field
// ("4294967295" gives -1), 0 when missing. A null element gives the defaults
// (bit 0 clear, watermarking channel 0).
CChannelConfigValues ReadChannelConfigElement(const TiXmlElement* element, int32_t flags);
// Writes "enable" from bit 0 and "watermarking_channel" as "%u", in that order
// when the element is new.
void WriteChannelConfigElement(TiXmlElement* element, int32_t flags, int32_t watermarkingChannel);

// ---- Document

// The document's first "config" child when it is an element, else null.
const TiXmlElement* FindConfigRoot(const TiXmlDocument& document);
TiXmlElement* FindConfigRoot(TiXmlDocument& document);

// The element a channel loads from: its own, or, when that is missing and the
// channel is not the first, the previous channel's (`copied`; logs "%s
// channel %u: using configuration of channel %u" with the serial string).
// Neither: a null element. The caller makes a copied channel report a
// settings change, so that the next save writes its own element.
struct CChannelConfigChoice {
  const TiXmlElement* element;
  bool copied;
};
CChannelConfigChoice ChooseChannelConfig(const TiXmlElement* config, int index,
                                         const std::string& serialString);

// What a document that parses gives the board.
struct CBoardConfigParse {
  std::string file;                            // the file it was loaded from (set by LoadBoardConfig)
  uint32_t version;                            // ParseConfigVersion of "version"; 0 when unreadable
  uint32_t latency;                            // frames: 512, 2560 or 5120
  int32_t latencyMode;                         // 0, 1 or 2, for the block's settings area
  std::vector<CChannelConfigChoice> channels;  // one per channel asked for, in index order
};

// Parses a loaded document for a board with `channelCount` channels (0 when
// the caller could not lock its channels): false without a "config" element or
// when a channel finds no element. Logs the older-version line (with the name)
// and the copy lines.
bool ParseBoardConfig(const TiXmlDocument& document, int channelCount, const CBoardConfigFiles& files,
                      CBoardConfigParse* parsed);

// The whole load. Tries the newest copy, then each older one (five in all,
// wrapping from 1 to 5), or the forced file once. Each try is loaded into a
// scratch document; only a try that parses replaces `document` and
// `byteOrderMark` (whether that file began with the UTF-8 mark), and `parsed`
// then points into `document`. Rejected files:
// - missing: "does not exists", next;
// - present but not readable (held by another program, a directory of that
//   name): left alone, next;
// - not XML (cut, garbage, empty): a copy is moved to its backup name (or
//   copied there and deleted); when neither works it stays; the forced file is
//   only copied, never moved or deleted;
// - XML without "config" or a usable channel element: copied to its backup
//   name and kept.
// False when no try parsed ("*** NO WAY TO RELOAD A CONFIG !"): the document,
// the mark and `parsed` are untouched, and the caller keeps its latency.
bool LoadBoardConfig(TiXmlDocument& document, bool& byteOrderMark, const CBoardConfigFiles& files,
                     int channelCount, CBoardConfigParse* parsed);

// ---- Save

// Steps before the channels: the root of a document with content, or null
// when it has none (nothing may be written then); an empty document gets the
// declaration ("1.0", "UTF-8", "yes") and a new "config". Sets "version" and
// "latency" ("%u").
TiXmlElement* PrepareBoardConfigSave(TiXmlDocument& document, uint32_t latency);
// The channel's element in `config`, added at its end when missing; null when
// it cannot be added.
TiXmlElement* FindOrAddChannelConfig(TiXmlElement* config, int index);
// Every channel writes its element through `saveChannel` (index, element); a
// channel whose element cannot be added is skipped. A channel that reports
// failure logs "%s: Failed to save xml config !" and ends the save with false.
bool SaveChannelConfigs(TiXmlElement* config, int channelCount, const std::string& serialString,
                        const std::function<bool(int index, TiXmlElement* element)>& saveChannel);
// Renders the document (with the UTF-8 mark when `byteOrderMark`) into the
// oldest copy; a failed write tries the next index (5 wraps to 1), five in all.
// The copy written is dated the newest (StampNewestCopy) before the save
// counts as done, so that a clock set back since the last save neither makes
// the next load take older settings nor the next save overwrite these.
// Logs "Changes detected" first, also before a save that then fails.
bool WriteBoardConfigCopies(const TiXmlDocument& document, bool byteOrderMark,
                            const CBoardConfigFiles& files);

// ---- Save timer

// When reported changes are saved: 10 s after the last change, and never later
// than 30 min after the first change since the previous save. Times are
// millisecond ticks; the board thread owns the object.
class CConfigSaveTimer {
 public:
  static const uint64_t kDelayMs = 10000;
  static const uint64_t kCapMs = 1800000;

  // A change reported at `now`.
  void Change(uint64_t now);
  // A save is pending and its time lies before `now`.
  bool IsDue(uint64_t now) const;
  // After a save, also a failed one: nothing pending, and the next change
  // starts a new cap.
  void Clear();

  uint64_t GetSaveTime() const { return m_saveTime; }  // 0: nothing pending
  uint64_t GetSaveCap() const { return m_saveCap; }    // 0: no change since the last save

 private:
  uint64_t m_saveTime = 0;
  uint64_t m_saveCap = 0;
};

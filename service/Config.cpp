#include "service/Config.h"

#include <cstdarg>
#include <cstring>
#include <new>

#include "tvlib/files/files.h"
#include "tvlib/ipc/security_trust.h"
#include "tvlib/log/log.h"
#include "tvlib/strings/strings.h"

const char kConfigFileName[] = "pelorin.conf";
const char kConfigFolderName[] = "tarvel";

namespace {

const char kBlanks[] = " \t";
const char kReference[] = "%%";
// fgets buffer: a longer line is read as several lines.
const int kLineBytes = 512;
const char kUtf8Mark[] = "\xEF\xBB\xBF";

const char* const kDirectoryKeys[] = {"RUN", "CFG", "PRODUCTS", "LOG"};

FILE* OpenForReading(const std::string& path, std::string* openedPath) {
  FILE* file = fopen(path.c_str(), "rt");
  if (file != nullptr && openedPath != nullptr) *openedPath = path;
  return file;
}

// Appends what fits below kMaxConfigValueBytes; false when something was left out.
bool AppendBounded(std::string& result, const std::string& text, size_t from, size_t count) {
  size_t room = kMaxConfigValueBytes - result.size();
  bool fits = count <= room;
  result.append(text, from, fits ? count : room);
  return fits;
}

// A notice that does not fit in memory is lost rather than thrown.
void AddNotice(CConfigNotices& notices, const char* format, ...) TVLIB_PRINTF(2, 3);
void AddNotice(CConfigNotices& notices, const char* format, ...) {
  va_list args;
  va_start(args, format);
  try {
    notices.push_back(FormatStringV(format, args));
  } catch (const std::bad_alloc&) {
  }
  va_end(args);
}

}  // namespace

FILE* OpenConfigFile(const char* optionPath, const std::string& currentDir, const std::string& commonAppData,
                     std::string* openedPath) {
  FILE* file = nullptr;
  if (optionPath != nullptr) file = OpenForReading(optionPath, openedPath);
  if (file == nullptr) file = OpenForReading(currentDir + "\\" + kConfigFileName, openedPath);
  if (file == nullptr)
    file = OpenForReading(commonAppData + "\\" + kConfigFolderName + "\\" + kConfigFileName, openedPath);
  return file;
}

std::string ExpandConfigValue(const char* value, CSettingsMap& settings, bool* cut) {
  std::string text = value;
  std::string result;
  bool whole = true;
  size_t cursor = 0;
  for (;;) {
    size_t open = text.find(kReference, cursor);
    if (open == std::string::npos) break;
    // The closing pair is searched right after the opening one: "%%%%"
    // names the empty name.
    size_t close = text.find(kReference, open + 2);
    if (close == std::string::npos) break;
    // Looked up even once the result is full: a reference still inserts the
    // name it refers to.
    const std::string& named = settings[text.substr(open + 2, close - open - 2)];
    whole = AppendBounded(result, text, cursor, open - cursor) && whole;
    whole = AppendBounded(result, named, 0, named.size()) && whole;
    cursor = close + 2;
  }
  whole = AppendBounded(result, text, cursor, text.size() - cursor) && whole;
  if (cut != nullptr) *cut = !whole;
  return StringTrim(result, kBlanks);
}

void ReadConfigLine(const char* line, CSettingsMap& settings, CConfigNotices& notices) {
  std::string text = line;
  for (char cut : {'\n', '\r', '#'}) {
    size_t at = text.find(cut);
    if (at != std::string::npos) text.erase(at);
  }
  size_t equals = text.find('=');
  if (equals == std::string::npos) return;
  std::string key = text.substr(0, equals);
  StringTrim(key, kBlanks);
  size_t start = text.find_first_not_of(kBlanks, equals + 1);
  std::string value = start == std::string::npos ? std::string() : text.substr(start);
  // Expanded before the assignment: a reference to the key itself sees its
  // earlier value.
  bool cut = false;
  std::string expanded = ExpandConfigValue(value.c_str(), settings, &cut);
  if (cut)
    AddNotice(notices, "%s: the value of %s is cut at %u bytes", kConfigFileName, key.c_str(),
              static_cast<unsigned>(kMaxConfigValueBytes));
  settings[key] = expanded;
}

void ReadConfigFile(FILE* file, CSettingsMap& settings, CConfigNotices& notices) {
  char line[kLineBytes];
  bool first = true;
  // Counts the file's lines, not fgets's parts of them.
  unsigned number = 1;
  while (fgets(line, sizeof(line), file) != nullptr) {
    const char* text = line;
    // An editor's byte-order mark would otherwise become part of the first key.
    if (first && strncmp(text, kUtf8Mark, 3) == 0) text += 3;
    first = false;
    try {
      ReadConfigLine(text, settings, notices);
    } catch (const std::bad_alloc&) {
      AddNotice(notices, "%s: line %u skipped, not enough memory", kConfigFileName, number);
    }
    if (strchr(line, '\n') != nullptr) ++number;
  }
}

void CompleteDirectorySettings(CSettingsMap& settings, const std::string& currentDir) {
  if (settings.count("RUN") == 0) settings["RUN"] = currentDir;
  const std::string run = settings["RUN"];
  if (settings.count("CFG") == 0) settings["CFG"] = run + "\\cfg\\Watermark";
  if (settings.count("PRODUCTS") == 0) settings["PRODUCTS"] = run + "\\Products\\Watermark";
  if (settings.count("LOG") == 0) settings["LOG"] = run;
}

void CreateDirectorySettings(CSettingsMap& settings) {
  for (const char* key : kDirectoryKeys) CreateDirectoryPath(settings[key], false);
}

void LoadConfiguration(const char* optionPath, CSettingsMap& settings, CConfigNotices& notices) {
  std::string currentDir = GetCurrentDir();
  std::string path;
  if (FILE* file = OpenConfigFile(optionPath, currentDir, GetCommonAppDataPath(), &path)) {
    // A service runs as LocalSystem: a file that an ordinary account could
    // have written would choose the folders it writes to and the DLL it loads.
    CTrustDecision trust;
    if (IsTrustRequired()) trust = DecideTrustOfFile(path);
    if (trust.IsTrusted())
      ReadConfigFile(file, settings, notices);
    else
      AddNotice(notices, "Configuration file %s not used, %s: running with the defaults", path.c_str(),
                trust.reason.c_str());
    fclose(file);
  }
  CompleteDirectorySettings(settings, currentDir);
  CreateDirectorySettings(settings);
}

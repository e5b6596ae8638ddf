#include "Config.h"

#include <cstring>

#include "tvlib/files/files.h"
#include "tvlib/strings/strings.h"

const char kConfigFileName[] = "pelorin.conf";

namespace {

const char kBlanks[] = " \t";
const char kReference[] = "%%";
// fgets buffer: a longer line is read as several lines.
const int kLineBytes = 512;
const char kUtf8Mark[] = "\xEF\xBB\xBF";

const char* const kDirectoryKeys[] = {"RUN", "CFG", "PRODUCTS", "LOG"};

FILE* OpenForReading(const std::string& path) { return fopen(path.c_str(), "rt"); }

}  // namespace

FILE* OpenConfigFile(const char* optionPath, const std::string& currentDir,
                     const std::string& commonAppData) {
  FILE* file = nullptr;
  if (optionPath != nullptr) file = OpenForReading(optionPath);
  if (file == nullptr) file = OpenForReading(currentDir + "\\" + kConfigFileName);
  if (file == nullptr) file = OpenForReading(commonAppData + "\\tarvel\\" + kConfigFileName);
  return file;
}

std::string ExpandConfigValue(const char* value, CSettingsMap& settings) {
  std::string text = value;
  std::string result;
  size_t cursor = 0;
  for (;;) {
    size_t open = text.find(kReference, cursor);
    if (open == std::string::npos) break;
    // The closing pair is searched right after the opening one: "%%%%"
    // names the empty name.
    size_t close = text.find(kReference, open + 2);
    if (close == std::string::npos) break;
    const std::string& named = settings[text.substr(open + 2, close - open - 2)];
    result += text.substr(cursor, open - cursor);
    result += named;
    cursor = close + 2;
  }
  result += text.substr(cursor);
  return StringTrim(result, kBlanks);
}

void ReadConfigLine(const char* line, CSettingsMap& settings) {
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
  std::string expanded = ExpandConfigValue(value.c_str(), settings);
  settings[key] = expanded;
}

void ReadConfigFile(FILE* file, CSettingsMap& settings) {
  char line[kLineBytes];
  bool first = true;
  while (fgets(line, sizeof(line), file) != nullptr) {
    const char* text = line;
    // An editor's byte-order mark would otherwise become part of the first key.
    if (first && strncmp(text, kUtf8Mark, 3) == 0) text += 3;
    first = false;
    ReadConfigLine(text, settings);
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

void LoadConfiguration(const char* optionPath, CSettingsMap& settings) {
  std::string currentDir = GetCurrentDir();
  if (FILE* file = OpenConfigFile(optionPath, currentDir, GetCommonAppDataPath())) {
    ReadConfigFile(file, settings);
    fclose(file);
  }
  CompleteDirectorySettings(settings, currentDir);
  CreateDirectorySettings(settings);
}

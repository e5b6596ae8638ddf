// The configuration file "pelorin.conf": key=value lines that set the
// program's directories (RUN, CFG, PRODUCTS, LOG) and any other setting the
// server reads; a value may refer to an earlier key as %%NAME%%.
//
// Pure functions of their arguments, used by the program body on the main
// thread at start; the resulting map is copied into the server. The reading
// never throws: what goes wrong is reported as notices, which the program
// body logs at level 0 once its log file is open (the file's LOG setting
// decides where that is).
#pragma once

#include <cstdio>
#include <map>
#include <string>
#include <vector>

// Key text to value text, ordered by key (compared byte by byte).
typedef std::map<std::string, std::string> CSettingsMap;
// Lines for the log, in the order they arose.
typedef std::vector<std::string> CConfigNotices;

extern const char kConfigFileName[];    // "pelorin.conf"
extern const char kConfigFolderName[];  // "tarvel", under the common application data
// An expanded value stops growing at this many bytes: a few short lines that
// refer to each other would otherwise ask for gigabytes.
const size_t kMaxConfigValueBytes = 32 * 1024;

// The first file of the search that opens for reading (text mode): the -C
// path when given, then <currentDir>\pelorin.conf, then
// <commonAppData>\tarvel\pelorin.conf. Null when none opens. The caller
// closes the file. The path that opened goes to *openedPath when given.
FILE* OpenConfigFile(const char* optionPath, const std::string& currentDir, const std::string& commonAppData,
                     std::string* openedPath = nullptr);

// Reads every line of an open file into the map (a UTF-8 byte-order mark at
// the very start is skipped); the file stays open. A line whose reading runs
// out of memory is skipped with a notice naming its number.
void ReadConfigFile(FILE* file, CSettingsMap& settings, CConfigNotices& notices);

// One line (its line end included or not): a "#" starts a comment; a line
// without "=" sets nothing. A value cut at kMaxConfigValueBytes keeps what
// fits, with a notice naming its key.
void ReadConfigLine(const char* line, CSettingsMap& settings, CConfigNotices& notices);

// Expands the %%NAME%% references of a value with the values known now (a
// name not in the map is inserted with an empty value) and trims blanks and
// tabs at both ends. The result holds at most kMaxConfigValueBytes; *cut
// (when given) tells whether anything was left out.
std::string ExpandConfigValue(const char* value, CSettingsMap& settings, bool* cut = nullptr);

// Fills RUN (with currentDir), CFG, PRODUCTS and LOG where absent, in this
// order, from the RUN value that holds after the file.
void CompleteDirectorySettings(CSettingsMap& settings, const std::string& currentDir);

// Creates every directory along RUN, CFG, PRODUCTS and LOG; failures are
// ignored (the users of each directory report their own).
void CreateDirectorySettings(CSettingsMap& settings);

// The whole start-up step: search and read the file, complete the
// directories and create them. Where the rule of tvlib/ipc/security_trust.h
// applies (a service run), a file that it does not trust, or whose folder it
// does not trust, is not read: a notice names it and why, and the defaults
// apply as without a file.
void LoadConfiguration(const char* optionPath, CSettingsMap& settings, CConfigNotices& notices);

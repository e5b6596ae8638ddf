// The configuration file "pelorin.conf": key=value lines that set the
// program's directories (RUN, CFG, PRODUCTS, LOG) and any other setting the
// server reads; a value may refer to an earlier key as %%NAME%%.
//
// Pure functions of their arguments, used by the program body on the main
// thread at start; the resulting map is copied into the server.
#pragma once

#include <cstdio>
#include <map>
#include <string>

// Key text to value text, ordered by key (compared byte by byte).
typedef std::map<std::string, std::string> CSettingsMap;

extern const char kConfigFileName[];  // "pelorin.conf"

// The first file of the search that opens for reading (text mode): the -C
// path when given, then <currentDir>\pelorin.conf, then
// <commonAppData>\tarvel\pelorin.conf. Null when none opens. The caller
// closes the file.
FILE* OpenConfigFile(const char* optionPath, const std::string& currentDir, const std::string& commonAppData);

// Reads every line of an open file into the map (a UTF-8 byte-order mark at
// the very start is skipped); the file stays open.
void ReadConfigFile(FILE* file, CSettingsMap& settings);

// One line (its line end included or not): a "#" starts a comment; a line
// without "=" sets nothing.
void ReadConfigLine(const char* line, CSettingsMap& settings);

// Expands the %%NAME%% references of a value with the values known now (a
// name not in the map is inserted with an empty value) and trims blanks and
// tabs at both ends.
std::string ExpandConfigValue(const char* value, CSettingsMap& settings);

// Fills RUN (with currentDir), CFG, PRODUCTS and LOG where absent, in this
// order, from the RUN value that holds after the file.
void CompleteDirectorySettings(CSettingsMap& settings, const std::string& currentDir);

// Creates every directory along RUN, CFG, PRODUCTS and LOG; failures are
// ignored (the users of each directory report their own).
void CreateDirectorySettings(CSettingsMap& settings);

// The whole start-up step: search and read the file, complete the
// directories and create them.
void LoadConfiguration(const char* optionPath, CSettingsMap& settings);

// The program's command line: its option table, the usage text and the
// command line stored for the service.
//
// Pure functions of their arguments, called by the program body on the main
// thread before anything else has started. ParseOptions also writes the
// process-wide values that the options set (LogVerbosity, LogFilePath, the
// server's ignored boards); the rest comes back in CProgramOptions, whose
// texts point into the argument vector.
#pragma once

#include <cstdint>
#include <string>

struct CProgramOptions {
  // Priority values: 5 real time (process class), else a thread priority limit.
  enum { ePRIORITY_REALTIME = 5, ePRIORITY_HIGH = 4, ePRIORITY_NORMAL = 2, ePRIORITY_LOW = 1 };

  bool certification = false;
  const char* configPath = nullptr;
  const char* loadPath = nullptr;
  int autoKillSeconds = 0;
  bool kill = false;
  bool console = false;
  int logLimitKb = 500;
  int priority = ePRIORITY_REALTIME;
  int serviceAction = 0;  // CWinService's action codes, 0 for none
};

// Reads the options from argv[1] on. True: the body goes on. False: the body
// returns *exitCode at once (0 after -V or the help, 1 after an option
// error, whose message and the usage have then been printed).
bool ParseOptions(int argc, char** argv, CProgramOptions& options, int* exitCode);

// The level a -p value selects (5, 4, 2, 1), or -1 when it selects none.
int PriorityFromText(const char* text);

// A decimal -k or -L value: leading blanks, a sign and digits, like atoi,
// but saturated at the 32-bit limits instead of wrapping; 0 when the text
// holds no number.
int ParseDecimalValue(const char* text);

// The command line the service runs with: the verbosity and the log file
// (quoted when it holds a blank). Empty at the default verbosity without -l.
std::string BuildServiceCommandLine(int verbosity, const char* logPath);

// The usage text for a program path, and printing it through the logger.
std::string UsageText(const char* programPath);
int PrintUsage(const char* programPath);

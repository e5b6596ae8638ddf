#include "service/Options.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "service/WatermarkMain.h"
#include "service/WatermarkServer.h"
#include "tvlib/log/log.h"
#include "tvlib/service/win_service.h"

namespace {

const char* const kUsageLines[] = {
    "Usage:",
    "",
    "%s",
    "",
    "    [--install-service|--set-parameters-service|--uninstall-service|--start-service|--restart-service|"
    "--stop-service|]",
    "    [-v[v[v[v[v]]]]] [-c] [-l logfilename]",
    "",
    "    -c : enable console output",
    "    -v : set verbose level",
    "    -V or --version: get version only",
    "    -C or --config file: use path config file [default: pelorin.conf]",
    "    -p (r|h|n|l) or --priority (rt|high|normal|low) : limit thread priority to r:realtime h:high or "
    "n:normal (default) or l:low ",
    "    -l logfilename or --logfile logfilename : log to specified file",
    "    -L logfilelimitkB or --logfile-limit-kb logfilelimitkB : set the limit size of logfile at startup",
    "    --load file: force load file as watermark XML configuration for all boards at start",
    "    --lua script.lua datafile: test LUA script file, with datafile as texte source. datafile might be - "
    "for stdin",
    "    --certif: Kantar Media certification mode",
    "    -h or --help : get this help",
    "",
    "Windows Service :",
    "",
    "    --install-service : followed by launch command line, install as windows service",
    "    --set-parameters-service : followed by launch command line, restart the service with new command "
    "line parameters",
    "    --uninstall-service : uninstall windows service",
    "    --start-service : starts the windows service",
    "    --restart-service : restarts the windows service",
    "    --stop-service : stops the windows service",
    "",
    "Remarks :",
    "    --install-service and --set-parameters-service MUST be followed by the configuration file",
    "    --ignore-serial serial : ignore this serial board",
};

struct ServiceOption {
  const char* name;
  int action;
};
const ServiceOption kServiceOptions[] = {
    {"--install-service", CWinService::eINSTALL}, {"--uninstall-service", CWinService::eUNINSTALL},
    {"--start-service", CWinService::eSTART},     {"--restart-service", CWinService::eRESTART},
    {"--stop-service", CWinService::eSTOP},       {"--set-parameters-service", CWinService::eSET_PARAMETERS},
    {"--service", CWinService::eRUN_AS_SERVICE},
};

struct PriorityWord {
  const char* word;
  int priority;
};
const PriorityWord kPriorityWords[] = {
    {"rt", CProgramOptions::ePRIORITY_REALTIME},
    {"high", CProgramOptions::ePRIORITY_HIGH},
    {"normal", CProgramOptions::ePRIORITY_NORMAL},
    {"low", CProgramOptions::ePRIORITY_LOW},
};

bool Is(const char* arg, const char* a, const char* b = nullptr, const char* c = nullptr) {
  return strcmp(arg, a) == 0 || (b && strcmp(arg, b) == 0) || (c && strcmp(arg, c) == 0);
}

// An option error: its message, the usage, exit code 1.
bool Fail(const char* message, const char* programPath, int* exitCode) {
  LogPrint("%s", message);
  PrintUsage(programPath);
  *exitCode = 1;
  return false;
}

}  // namespace

std::string UsageText(const char* programPath) {
  std::string text;
  for (const char* line : kUsageLines) {
    text += strcmp(line, "%s") == 0 ? (programPath ? programPath : "") : line;
    text += '\n';
  }
  return text;
}

int PrintUsage(const char* programPath) {
  LogPrint("%s", UsageText(programPath).c_str());
  return 1;
}

int PriorityFromText(const char* text) {
  size_t length = strlen(text);
  if (length == 0) length = 1;
  for (const PriorityWord& p : kPriorityWords) {
    size_t count = strlen(p.word) + 1;
    if (strncmp(text, p.word, length < count ? length : count) == 0) return p.priority;
  }
  return -1;
}

int ParseDecimalValue(const char* text) {
  long long value = strtoll(text, nullptr, 10);
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<int>(value);
}

std::string BuildServiceCommandLine(int verbosity, const char* logPath) {
  std::string line;
  if (verbosity >= 5 && verbosity <= 9) line += "-" + std::string(verbosity - 4, 'v') + " ";
  if (logPath != nullptr) {
    // The service splits its stored line at blanks outside double quotes.
    bool quote = strchr(logPath, ' ') != nullptr;
    line += "-l ";
    line += quote ? "\"" + std::string(logPath) + "\"" : std::string(logPath);
    line += " ";
  }
  return line;
}

bool ParseOptions(int argc, char** argv, CProgramOptions& options, int* exitCode) {
  const char* program = argc > 0 ? argv[0] : "";
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    // A value option takes the next argument, whatever it looks like.
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;

    if (Is(arg, "-V", "--version")) {
      LogPrint("%d.%d.%d\n", kVersionMajor, kVersionMinor, kVersionBuild);
      *exitCode = 0;
      return false;
    }
    if (Is(arg, "-h", "--help", "/?")) {
      PrintUsage(program);
      *exitCode = 0;
      return false;
    }
    if (Is(arg, "-v", "--verbose")) {
      LogVerbosity = 5;
    } else if (Is(arg, "-vv")) {
      LogVerbosity = 6;
    } else if (Is(arg, "-vvv")) {
      LogVerbosity = 7;
    } else if (Is(arg, "-vvvv")) {
      LogVerbosity = 8;
    } else if (Is(arg, "-vvvvv")) {
      LogVerbosity = 9;
    } else if (Is(arg, "--certif")) {
      options.certification = true;
    } else if (Is(arg, "-C", "--config")) {
      if (value == nullptr) return Fail("--config needs a file\n", program, exitCode);
      options.configPath = value;
      ++i;
    } else if (Is(arg, "--load")) {
      if (value == nullptr) return Fail("--load needs a file\n", program, exitCode);
      options.loadPath = value;
      ++i;
    } else if (Is(arg, "-k", "--autokill")) {
      if (value == nullptr) return Fail("--autokill needs a timeout\n", program, exitCode);
      options.autoKillSeconds = ParseDecimalValue(value);
      ++i;
    } else if (Is(arg, "--kill")) {
      options.kill = true;
    } else if (Is(arg, "-c", "--console")) {
      options.console = true;
    } else if (Is(arg, "-l", "--logfile")) {
      if (value == nullptr) return Fail("--logfile needs a file path\n", program, exitCode);
      LogFilePath = value;
      ++i;
    } else if (Is(arg, "-L", "--logfile-limit-kb")) {
      if (value == nullptr) return Fail("--logfile-limit-kb needs a size limit\n", program, exitCode);
      options.logLimitKb = ParseDecimalValue(value);
      ++i;
    } else if (Is(arg, "-p", "--priority")) {
      if (value == nullptr || value[0] == '\0')
        return Fail("--priority needs a priority\n", program, exitCode);
      int priority = PriorityFromText(value);
      if (priority < 0) return Fail("--priority value is invalid\n", program, exitCode);
      options.priority = priority;
      ++i;
    } else if (Is(arg, "--ignore-serial")) {
      if (value == nullptr) return Fail("--ignore-serial needs a serial\n", program, exitCode);
      unsigned int serial = 0;
      if (sscanf(value, "%08X", &serial) != 1)
        return Fail("--ignore-serial needs a correct serial\n", program, exitCode);
      AddIgnoredBoard(serial);
      ++i;
    } else {
      for (const ServiceOption& s : kServiceOptions)
        if (strcmp(arg, s.name) == 0) options.serviceAction = s.action;
    }
  }
  return true;
}

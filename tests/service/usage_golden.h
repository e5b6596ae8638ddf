// The usage text as operators know it, typed apart from the program's table
// so that any change to the text shows. Shared by the option tests and the
// tests that run pelorin.exe.
#pragma once

#include <string>

const char kGoldenUsage[] =
    "Usage:\n"
    "\n"
    "%PROGRAM%\n"
    "\n"
    "    [--install-service|--set-parameters-service|--uninstall-service|--start-service|--restart-service|"
    "--stop-service|]\n"
    "    [-v[v[v[v[v]]]]] [-c] [-l logfilename]\n"
    "\n"
    "    -c : enable console output\n"
    "    -v : set verbose level\n"
    "    -V or --version: get version only\n"
    "    -C or --config file: use path config file [default: pelorin.conf]\n"
    "    -p (r|h|n|l) or --priority (rt|high|normal|low) : limit thread priority to r:realtime h:high or "
    "n:normal (default) or l:low \n"
    "    -l logfilename or --logfile logfilename : log to specified file\n"
    "    -L logfilelimitkB or --logfile-limit-kb logfilelimitkB : set the limit size of logfile at startup\n"
    "    --load file: force load file as watermark XML configuration for all boards at start\n"
    "    --lua script.lua datafile: test LUA script file, with datafile as texte source. datafile might be - "
    "for stdin\n"
    "    --certif: Kantar Media certification mode\n"
    "    -h or --help : get this help\n"
    "\n"
    "Windows Service :\n"
    "\n"
    "    --install-service : followed by launch command line, install as windows service\n"
    "    --set-parameters-service : followed by launch command line, restart the service with new command "
    "line parameters\n"
    "    --uninstall-service : uninstall windows service\n"
    "    --start-service : starts the windows service\n"
    "    --restart-service : restarts the windows service\n"
    "    --stop-service : stops the windows service\n"
    "\n"
    "Remarks :\n"
    "    --install-service and --set-parameters-service MUST be followed by the configuration file\n"
    "    --ignore-serial serial : ignore this serial board\n";

// The usage for a program path.
inline std::string GoldenUsage(const std::string& program) {
  std::string text = kGoldenUsage;
  return text.replace(text.find("%PROGRAM%"), 9, program);
}

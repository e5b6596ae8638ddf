// One run of the whole program, seen from outside as an operator sees it.
//
// Layout of a run (all in the test's temporary folder):
//   run\          RUN: pelorin_sim.exe, helper_sim_program.exe and, unless the
//                 run goes without the embedder, ostrel.dll and the stand-in
//                 SnapLiveAudioEmbedderSDK.dll (the program also finds
//                 ostrel.dll beside itself, so a run without it copies none)
//   run\cfg\Watermark\<serial>\   the boards' XML copies (CFG)
//   run\log\Pelorin.log           the log (LOG)
//   pelorin.conf, boards.ini      the configuration file and the simulated
//                                 world, with capture\ (stats, sim_trace.log,
//                                 world.stats) and control.txt (its orders)
//   <tag>.out, <tag>.err          each child's standard output and error
// The program starts as "-C pelorin.conf -vvvvv -p n -k 300 -L 100000" plus
// the test's options: -k 300 is a safety net, -p n keeps the real-time class
// away, the large -L keeps the log whole.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "support/child_process.h"
#include "support/paths.h"
#include "support/poll.h"
#include "support/temp_dir.h"
#include "tvlib/win.h"

// A cold Wine start takes seconds; the limits only bound a run that hangs.
const DWORD kStartMs = 60000;
const DWORD kEventMs = 60000;
const DWORD kEndMs = 120000;

const char kInstanceName[] = ".tarvel.watermark.lock";

inline bool Has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

inline size_t CountOf(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++n;
  return n;
}

// "5A 0F ..." as pelclient prints bytes.
inline std::string HexBytes(const std::string& bytes) {
  std::string out;
  char two[4];
  for (unsigned char c : bytes) {
    snprintf(two, sizeof two, out.empty() ? "%02X" : " %02X", c);
    out += two;
  }
  return out;
}

// One call of sim_trace.log that names a board of the world: time, thread,
// handle, board, file, operation, then pos= (the position, or the control
// code of an ioctl), len=, done=, ok=, err= and maybe data=.
struct SimCall {
  std::string handle, board, file, op;
  unsigned long long pos = 0;
  bool ok = false;
  std::string line;
};

class ProgramRunTest : public ::testing::Test {
 protected:
  // Copies the program (and the embedder unless withEmbedder is false) into
  // RUN, writes pelorin.conf and the world: `boards` is the description's
  // text after its [sim] keys (more [sim] keys first, then [board] sections).
  void Prepare(const std::string& boards, bool withEmbedder = true) {
    m_run = m_dir.File("run");
    ::CreateDirectoryA(m_run.c_str(), nullptr);
    std::vector<std::string> files = {"pelorin_sim.exe", "helper_sim_program.exe"};
    if (withEmbedder) {
      files.push_back("ostrel.dll");
      files.push_back("SnapLiveAudioEmbedderSDK.dll");
    }
    for (const std::string& f : files)
      ASSERT_TRUE(::CopyFileA((testsupport::ExeDir() + f).c_str(), (m_run + "\\" + f).c_str(), FALSE)) << f;
    testsupport::WriteBytes(m_dir.File("pelorin.conf"), "RUN=" + m_run +
                                                            "\r\nCFG=%%RUN%%\\cfg\\Watermark\r\n"
                                                            "LOG=%%RUN%%\\log\r\n");
    ::CreateDirectoryA(m_dir.File("capture").c_str(), nullptr);
    testsupport::WriteBytes(m_dir.File("control.txt"), "");
    testsupport::WriteBytes(m_dir.File("boards.ini"),
                            "[sim]\r\nclock=realtime\r\ncapture_dir=" + m_dir.File("capture") +
                                "\r\ncontrol_file=" + m_dir.File("control.txt") + "\r\n" + boards);
  }

  // pelorin_sim.exe with the run's options and `extra`; withWorld false
  // starts it without PELORIN_SIM (no boards, no simulator files touched).
  bool Start(testsupport::ChildProcess& child, const std::string& extra, const std::string& tag,
             bool withWorld = true) {
    return StartExe(child, "pelorin_sim.exe", StandardOptions() + extra, tag, withWorld);
  }

  // The same body, stopped as by Ctrl+C once Stop() is called.
  bool StartStoppable(testsupport::ChildProcess& child, const std::string& extra, const std::string& tag) {
    return StartExe(child, "helper_sim_program.exe",
                    "\"" + m_dir.File("stop") + "\" " + StandardOptions() + extra, tag, true);
  }
  void Stop() { testsupport::WriteBytes(m_dir.File("stop"), ""); }

  // A short run of pelorin_sim.exe to its end (a second instance, --kill):
  // its exit code; its standard output in *out.
  int RunOnce(const std::string& args, const std::string& tag, std::string* out) {
    testsupport::ChildProcess child;
    int code =
        StartExe(child, "pelorin_sim.exe", args, tag, false) ? child.Wait(kEndMs) : testsupport::kChildFailed;
    *out = Out(tag);
    return code;
  }

  std::string Out(const std::string& tag) {
    return testsupport::StripCR(testsupport::ReadBytes(m_dir.File(tag + ".out")));
  }
  std::string LogPath() { return m_run + "\\log\\Pelorin.log"; }
  std::string Log() { return testsupport::StripCR(testsupport::ReadBytes(LogPath())); }
  bool WaitLog(const std::string& text, DWORD ms = kEventMs) {
    return testsupport::WaitForLineContaining(LogPath(), text, ms);
  }
  std::string Trace() { return testsupport::ReadBytes(m_dir.File("capture\\sim_trace.log")); }
  std::string Capture(const std::string& name) {
    return testsupport::ReadBytes(m_dir.File("capture\\" + name));
  }
  std::string ConfigDir(const std::string& serialHex) { return m_run + "\\cfg\\Watermark\\" + serialHex; }

  // Appends an order (plug, unplug, fault) to the world's control file.
  void Control(const std::string& line) {
    testsupport::WriteBytes(m_dir.File("control.txt"),
                            testsupport::ReadBytes(m_dir.File("control.txt")) + line + "\n");
  }

  // For failure messages: what the run left.
  std::string Story(const std::string& tag) {
    return "--- stdout\n" + Out(tag) + "\n--- Pelorin.log\n" + Log();
  }

  TestTempDir m_dir;
  std::string m_run;

 private:
  std::string StandardOptions() {
    return "-C \"" + m_dir.File("pelorin.conf") + "\" -vvvvv -p n -k 300 -L 100000 ";
  }
  bool StartExe(testsupport::ChildProcess& child, const std::string& exe, const std::string& args,
                const std::string& tag, bool withWorld) {
    ::SetEnvironmentVariableA("PELORIN_SIM", withWorld ? m_dir.File("boards.ini").c_str() : nullptr);
    return child.Start(m_run + "\\" + exe, args, m_dir.File(tag + ".out"), m_dir.File(tag + ".err"), m_run);
  }

 protected:
  // The simulator's calls so far, in their order.
  std::vector<SimCall> SimCalls() {
    std::vector<SimCall> calls;
    for (const std::string& line : testsupport::SplitLines(Trace())) {
      std::istringstream in(line);
      std::vector<std::string> f;
      for (std::string word; in >> word;) f.push_back(word);
      // Calls that name no board (an unknown path or handle, a sleep) have
      // fewer words before "pos=".
      if (f.size() < 7 || f[6].compare(0, 4, "pos=") != 0) continue;
      SimCall c;
      c.handle = f[2];
      c.board = f[3];
      c.file = f[4];
      c.op = f[5];
      c.pos = std::strtoull(f[6].c_str() + 4, nullptr, 16);
      c.ok = Has(line, " ok=1 ");
      c.line = line;
      calls.push_back(c);
    }
    return calls;
  }
  // One number of a device's stats file ("SN%08X_asio%d"); -1 while missing.
  long long DeviceStat(const std::string& device, const std::string& key) {
    for (const std::string& line : testsupport::SplitLines(Capture(device + ".stats")))
      if (line.compare(0, key.size() + 1, key + "=") == 0) return std::atoll(line.c_str() + key.size() + 1);
    return -1;
  }
};

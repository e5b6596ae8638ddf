// The simulated boards: a process-wide world of boards that stands where the
// boards' kernel driver would be. DeviceIo_sim.cpp routes every call of the
// driver seam (drivers/DeviceIo.h) here.
//
// The world is strict on purpose: it rejects what Windows and the driver would
// reject (wrong record sizes, wrong open flags, unmapped positions, transfers
// that cross a register window, writes to read-only windows), so that a wrong
// call fails loudly instead of reading zeros.
//
// Description (INI; LoadText/LoadFile):
//   [sim]    clock=realtime|fast|virtual, os_major=N, capture_dir=, capture_seconds=,
//            trace_file=, trace_switch=0|1 (0: successful switch calls are not
//            traced, for benchmarks), strict=0|1, fault=<rule> (any board),
//            pace=<k> (the audio devices' clock runs k times real time;
//            realtime clock only), control_file=<path> (below)
//   [board <name>]
//            plugged=0 (absent until a control-file "plug"),
//            kind=PCI|QBX, path=, serial=, trvl=0|1, serial188=, serial_text=,
//            serial_bank=<bank>:<current|previous|0xNN>[:invalid]:<text>,
//            dsp_info=<bank>:<current|previous|0xNN>[:invalid]:<hex bytes>,
//            driver_version=<text> | tvversion_hex=<hex> | tvversion=none,
//            identity=, feature=, logic_version=, reg76=, reg80=,
//            dsps=, mask=, mask_source=flash|reg76|none, asio_count=,
//            dsp_signature=<11 hex bytes>, board_reset_ms=, pico_reset_ms=,
//            pico_ready_ms=, dsp_boot_ms=, present_after_ms=, unplug_at_ms=,
//            replug_at_ms=, fault=<rule>, and the audio keys of AudioConfig.
// Fault rules: "<op> [match] [when] <effect>", op getclassdevs | ifdetail |
//   open | seek | read | write | ioctl; match pos=A[-B] file=F code=C|<name>
//   kind=PCI|QBX index=K phase=size|fetch; when at=N count=N every=K
//   from_ms=T until_ms=T; effect err=E short=N delay_ms=T hang_ms=T xor=B
//   value=<hex>. On getclassdevs and open, delay_ms and hang_ms both stall
//   the caller that long before the call is answered (with err= if given).
//
// Control file: lets a black-box run change the world when it chooses. It is
// read again whenever its text changes: at every enumeration (getclassdevs)
// and once a second from a thread of the world. Each newline-terminated line
// runs once, in order; appended lines run when they appear, a file rewritten
// with other text runs all of its lines. Blank lines and lines starting with
// '#' or ';' are skipped. Commands:
//   plug <board> [<path>]   present from now on (undoes unplug, plugged=0);
//                           with a path, under that device interface path:
//                           a board re-seated in another slot, with new
//                           audio devices (the old ones stay gone)
//   unplug <board>          gone from now on; its open handles fail with 1167
//   fault <board|*> <rule>  a fault rule armed now: at=, count=, every= count
//                           the calls from now, from_ms= and until_ms= too
// Every command is traced (op "control", file = the line, ok = it ran); a bad
// one also prints a line on stderr.
//
// Black-box mode (capture_dir set): besides the devices' files, the world
// keeps <capture_dir>\world.stats up to date at every open and close:
//   driver_handles=N, asio_handles=N, other_handles=N, then one line
//   "open=<board> <file>" per open handle.
//
// Handles opened before an unplug are dead: they fail with 1167 and, as the
// files of a removed device, keep no sharing claim on the board's files.
//
// Cancellation (devio::CancelSynchronousIo): a control call in progress on
// the thread ends with 995, whether it waits for the device clock or hangs on
// a fault; cancelling a thread without a call fails with ERROR_NOT_FOUND. Each
// cancel is traced (op "cancel", ok = a call was found).
//
// Clock: realtime and fast run on QueryPerformanceCounter (fast only drops the
// audio pacing); virtual runs on a counter that devio::Sleep advances, and
// every board transfer advances it by 10 us so that busy polls end.
//
// Threads: any thread may call the seam. One world mutex guards the boards,
// handles, SetupDi snapshots, fault rules and trace; it is never held while
// sleeping or inside an audio device's control call. Tests change the world
// only while no driver code runs.
#pragma once

#include <atomic>
#include <cstdio>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "audio/AudioDevice.h"
#include "tvlib/win.h"
#include <setupapi.h>

namespace sim {

enum class ClockMode { Realtime, Fast, Virtual };

struct TraceEntry {
  double timeMs = 0;  // world clock
  DWORD thread = 0;
  uintptr_t handle = 0;
  std::string board;  // board name ("" when none)
  std::string file;   // Driver, rds, Log, tvVersion, asio<n>, or the whole name for a failed open
  std::string op;     // getclassdevs, enum, ifdetail, open, close, seek, read, write, ioctl, cancel, sleep
  uint64_t pos = 0;   // position (transfer, seek result), control code (ioctl), ms (sleep)
  uint32_t len = 0;   // bytes asked (transfer), bytes moved in `done`
  uint32_t done = 0;
  std::vector<uint8_t> data;                                // up to 32 bytes moved (or sent)
  DWORD access = 0, share = 0, disposition = 0, flags = 0;  // open only
  bool ok = true;
  DWORD error = 0;
};

struct FaultRule {
  std::string text;
  std::string op;
  std::string board;  // empty: any board
  bool hasPos = false;
  uint64_t posLo = 0, posHi = 0;
  std::string file;
  bool hasCode = false;
  DWORD code = 0;
  int kind = -1;
  int index = -1;
  std::string phase;
  uint64_t at = 0, count = 0, every = 0;
  int64_t fromMs = -1, untilMs = -1;
  DWORD err = 0;
  int64_t shortBytes = -1;
  DWORD delayMs = 0, hangMs = 0;
  int xorByte = -1;
  std::vector<uint8_t> value;
  uint64_t matched = 0;  // calls that matched so far
  uint64_t fired = 0;
};

// Parses one rule; false (and *error) when it is malformed.
bool ParseFaultRule(const std::string& text, FaultRule* rule, std::string* error);

struct Board {
  std::string name;
  int kind = 1;  // 0 PCI, 1 QBX
  std::string path;
  uint32_t serial = 0;

  // presence timeline, world ms; -1 = never
  int64_t presentAfterMs = 0, unplugAtMs = -1, replugAtMs = -1;
  bool present = true;  // as last evaluated
  uint32_t epoch = 0;   // raised at every unplug; handles of an older epoch are dead

  // tvVersion file
  bool hasVersionFile = true;
  std::vector<uint8_t> versionBytes;

  // registers
  uint32_t identity = 0x903010B5;
  uint8_t feature = 0;
  uint32_t control = 0;  // board control word (PCI 16 bit, QBX 32 bit)
  uint32_t logicVersion = 0x01020030;
  uint32_t reg76 = 0, reg80 = 0;  // QBX read-only copies (PCI: RAM)
  bool dead = false;              // QBX full reset: nothing answers until Reboot
  bool resetHeld = false;         // board control bit 8 is set
  int64_t resetFallUs = -1;       // when bit 8 last fell
  int64_t dspBootUs = 0;          // the DSP signature is back from then on
  bool dspInReset = false;        // PCI reset-control bit 2 clear
  uint8_t signature[11];
  int64_t boardResetMs = 100, picoResetMs = 300, picoReadyMs = 800, dspBootMs = 50;
  bool strict = true;

  std::unordered_map<uint32_t, uint8_t> ram;                 // RAM-like bytes by position
  std::unordered_map<uint32_t, std::vector<uint8_t>> flash;  // 4 KiB pages, erased 0xFF

  std::vector<uint8_t> rdsWritten, logWritten;

  AudioConfig audio;
  std::vector<std::unique_ptr<AudioDevice>> devices;  // asio<n>
  std::vector<std::unique_ptr<AudioDevice>> retired;  // replaced devices, kept alive

  Board();
};

class World {
 public:
  static World& Instance();

  // Drops every board, handle, rule and trace entry and restarts the clock.
  // Open audio handles are closed first.
  void Reset();
  // Reset, then build the world from a description; false and *error on a bad
  // line (the world is then partly built).
  bool LoadText(const std::string& text, std::string* error = nullptr);
  bool LoadFile(const std::string& path, std::string* error = nullptr);

  // ---- clock
  ClockMode Clock() const { return clock_; }
  int64_t NowUs();
  double NowMs() { return NowUs() / 1000.0; }
  void AdvanceMs(int64_t ms);  // virtual clock only
  void SleepMs(DWORD ms);      // the seam's Sleep: real, or a virtual advance

  // ---- boards (the pointers stay valid until Reset)
  Board* FindBoard(const std::string& name);
  Board* AddBoard(const std::string& name, int kind, const std::string& path);
  void SetAsioCount(Board* board, int count);
  void Unplug(const std::string& name);
  void Replug(const std::string& name);
  // Present from now on, whatever its timeline said (plugged=0 included).
  // A path given: found under that device interface path from now on, with
  // new audio devices (a board re-seated in another slot).
  void Plug(const std::string& name, const std::string& path = std::string());
  // Brings back a board that did the full reset (a computer restart).
  void Reboot(const std::string& name);
  AudioDevice* Audio(const std::string& board, int index);

  // Flash and register helpers (positions as the driver sees them).
  void SetQbxSerial(Board* b, uint32_t serial, bool withTrvl);
  void SetSerialBank(Board* b, int bank, uint8_t state, bool valid, const std::string& text);
  void SetPciSerialRegisters(Board* b, uint32_t w1FC, uint32_t w188, const std::string& text);
  void SetDspInfo(Board* b, int bank, uint8_t state, bool valid, const std::vector<uint8_t>& bytes);
  void SetDspLayout(Board* b, int dsps, uint8_t mask, const std::string& source);
  // Backdoor reads and writes, bypassing windows and faults (RAM and flash only).
  void PokeFlash(Board* b, uint32_t pos, const void* data, size_t len);
  void PokeRam(Board* b, uint32_t pos, const void* data, size_t len);
  uint8_t PeekRam(Board* b, uint32_t pos);

  // ---- faults
  bool AddFault(const std::string& rule, const std::string& board = std::string(),
                std::string* error = nullptr);
  void ClearFaults();

  // ---- trace and checks
  // Entries the in-memory trace keeps; each new one then replaces the oldest.
  static constexpr size_t kTraceCapacity = 200000;
  std::vector<TraceEntry> Trace();
  void ClearTrace();
  // Transfers whose preceding seek on the same handle came from another thread.
  uint64_t InterleaveViolations();
  // Open handles, optionally of one board and file.
  int OpenHandles(const std::string& board = std::string(), const std::string& file = std::string());
  // Black-box runs: every traced call is also appended to sim_trace.log (in
  // capture_dir when set), unless the description named a trace_file.
  void EnableTraceLog();
  // Runs the control file's new lines (see above); the number of commands
  // that ran. The world calls it itself; tests call it to act at once.
  int PollControl();
  double Pace() const { return pace_; }
  int OsMajor() const { return osMajor_; }
  void SetOsMajor(int major) { osMajor_ = major; }

  // ---- the seam (DeviceIo_sim.cpp)
  HDEVINFO GetClassDevs(const GUID* cls, DWORD flags);
  BOOL EnumDeviceInterfaces(HDEVINFO, const GUID*, DWORD index, SP_DEVICE_INTERFACE_DATA*);
  BOOL GetDeviceInterfaceDetail(HDEVINFO, SP_DEVICE_INTERFACE_DATA*, SP_DEVICE_INTERFACE_DETAIL_DATA_A*,
                                DWORD size, DWORD* required);
  BOOL DestroyDeviceInfoList(HDEVINFO);
  // Device information lists handed out and not destroyed yet.
  int OpenDeviceInfoLists();
  BOOL GetVersionEx(OSVERSIONINFOA*);
  HANDLE CreateFile(const char* name, DWORD access, DWORD share, DWORD disposition, DWORD flags);
  BOOL CloseHandle(HANDLE);
  DWORD SetFilePointer(HANDLE, LONG low, LONG* high, DWORD method);
  BOOL ReadFile(HANDLE, void* buf, DWORD len, DWORD* done);
  BOOL WriteFile(HANDLE, const void* buf, DWORD len, DWORD* done);
  BOOL DeviceIoControl(HANDLE, DWORD code, void* in, DWORD inLen, void* out, DWORD outLen, DWORD* returned);
  BOOL CancelSynchronousIo(HANDLE thread);

 private:
  World();

  enum class FileType { Driver, Rds, Log, Version, Asio };
  struct Handle {
    Board* board = nullptr;
    FileType type = FileType::Driver;
    std::string file;
    int asio = -1;
    AudioDevice* device = nullptr;  // asio: the device opened (kept alive until Reset)
    DWORD access = 0, share = 0;
    uint64_t pos = 0;
    DWORD seekThread = 0;
    uint32_t epoch = 0;
  };
  struct Snapshot {
    int kind = 0;
    std::vector<std::string> paths;
  };

  void ResetLocked(std::vector<std::unique_ptr<AudioDevice>>* closeThese);
  void StartControlWatcher();
  void StopControlWatcher();
  bool RunControlLocked(const std::string& line, std::string* error);  // under mu_
  void UnplugLocked(Board* b);                                         // under mu_
  void PlugLocked(Board* b, const std::string& path);                  // under mu_
  void WriteWorldStats();                                              // under mu_
  void UpdatePresence(Board* b);                                       // under mu_
  bool IsPresent(Board* b);                                            // under mu_, after UpdatePresence
  const FaultRule* MatchFault(const std::string& op, Board* b, const std::string& file, bool hasPos,
                              uint64_t lo, uint64_t hi, bool hasCode, DWORD code, int kind, int index,
                              const std::string& phase);
  void AddTrace(TraceEntry e);  // under mu_
  // Sleeps out a matched rule's delay_ms and hang_ms with `lock` (on mu_)
  // released; the rule's err, 0 for none.
  DWORD StallUnlocked(const FaultRule* rule, std::unique_lock<std::mutex>& lock);
  void MakeDevices(Board* b, int count);
  uint32_t StatusOf(Board* b);  // computed status word
  bool SignatureVisible(Board* b);
  // Address space; 0 or a Win32 error. Under mu_.
  DWORD SpaceRead(Board* b, uint64_t pos, uint8_t* out, uint32_t len);
  DWORD SpaceWrite(Board* b, uint64_t pos, const uint8_t* in, uint32_t len);
  uint8_t FlashByte(Board* b, uint32_t pos);
  void SetFlashByte(Board* b, uint32_t pos, uint8_t v);
  void WriteControl(Board* b, uint32_t value);
  DWORD CheckTransfer(Handle* handle, bool argumentsOk, DWORD access, TraceEntry* e);
  void WriteRegionB(Board* b, uint64_t pos, uint32_t first, const uint8_t* in, uint32_t len,
                    uint32_t controlBytes);
  Handle* FindHandle(HANDLE h);

  std::mutex mu_;
  ClockMode clock_ = ClockMode::Realtime;
  double pace_ = 1.0;
  // The control file: its path (under mu_), and the text already run, which
  // only PollControl touches, under controlMu_ (taken before mu_).
  std::string controlFile_;
  std::mutex controlMu_;
  std::string controlDone_;
  std::thread controlThread_;  // started and joined outside mu_
  HANDLE controlStop_ = nullptr;
  int64_t qpcFreq_ = 1, qpcStart_ = 0;
  std::atomic<int64_t> virtualUs_{0};
  int osMajor_ = 6;
  std::string traceFile_;
  bool traceSwitch_ = true;
  FILE* traceOut_ = nullptr;  // opened on the first traced call
  std::string captureDir_;
  std::string captureSeconds_;
  std::vector<std::unique_ptr<Board>> boards_;
  std::map<uintptr_t, Handle> handles_;
  // Control calls by calling thread (one each: the calls are synchronous);
  // a thread's entry stays, with no device while it has no call in progress.
  struct Call {
    AudioDevice* device = nullptr;
    std::string board, file;
  };
  std::map<DWORD, Call> calls_;
  uint32_t nextHandle_ = 0;
  std::map<uintptr_t, std::unique_ptr<Snapshot>> snapshots_;
  std::vector<FaultRule> globalFaults_;
  std::vector<TraceEntry> trace_;
  size_t traceStart_ = 0;  // ring start once full
  uint64_t interleave_ = 0;
};

// Forgets the driver objects' path tables (DriverOSTables.h) so that the next
// driver object enumerates this world afresh.
void ResetDriverTables();

// Reset + LoadText + ResetDriverTables; false and a message on stderr for a
// bad description.
bool NewWorld(const std::string& description);

}  // namespace sim

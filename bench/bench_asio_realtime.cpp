// Drives one simulated channel in real time: a QBX board with one audio
// device, prepared for 32-bit stereo at 48000 Hz, whose input is copied to
// the output every period for a few seconds. Prints what the device played.
// On an idle machine every period is pass-through, none late or missed.
//
//   bench_asio_realtime [seconds=5] [period=512]
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "bench/bench_clock.h"
#include "drivers/AudioAsio.h"
#include "drivers/DriverQBX.h"
#include "sim/boards/World.h"
#include "tvlib/log/log.h"
#include "tvlib/win.h"

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 5.0;
  uint32_t period = argc > 2 ? uint32_t(std::atoi(argv[2])) : 512u;
  SetLogConsoleEcho(true);

  const std::string description =
      "[sim]\n"
      "clock=realtime\n"
      "[board qbx0]\n"
      "kind=QBX\n"
      "path=\\\\?\\pci#ven_1172&dev_e001&subsys_00011172&rev_01#4&2c0e0e1a&0&00e0#"
      "{9fb60060-c831-44f8-891e-40ff75bd73f3}\n"
      "serial=0x00012345\n"
      "asio_count=1\n"
      "input=counter\n";
  if (!sim::NewWorld(description)) return 1;

  std::unique_ptr<CDriverQBX> driver(new CDriverQBX());
  if (!driver->Open(0)) {
    std::fprintf(stderr, "board open failed\n");
    return 1;
  }
  CAudioAsio asio("SN00012345 Ch 1");
  const uint32_t requested = period;
  if (!asio.Open(asio.MakeDeviceName(driver.get(), 0)) || !asio.Prepare(48000, 2, 1, period) ||
      !asio.Start()) {
    std::fprintf(stderr, "audio device setup failed\n");
    return 1;
  }
  SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL);

  const int64_t t0 = bench::Now();
  const int64_t end = t0 + int64_t(seconds * bench::TicksPerSecond());
  int64_t now = t0;
  uint64_t switches = 0, failures = 0;
  const uint32_t bytes = asio.GetBytesPerBuffer();
  do {
    if (!asio.SwitchBuffer()) {
      ++failures;
      break;
    }
    ++switches;
    std::memcpy(asio.GetOutputBuffer(), asio.GetInputBuffer(), bytes);
    now = bench::Now();
  } while (now < end);
  const double elapsed = bench::Seconds(now - t0);

  sim::AudioStats s = sim::World::Instance().Audio("qbx0", 0)->Stats();
  asio.Close();
  driver->Close();

  std::printf("period          %u frames (asked %u), %.3f ms\n", period, requested,
              period * 1000.0 / 48000.0);
  std::printf("elapsed         %.3f s, expected periods %.1f\n", elapsed, elapsed * 48000.0 / period);
  std::printf("switches        %llu (failed %llu)\n", (unsigned long long)switches,
              (unsigned long long)failures);
  std::printf("played          %llu\n", (unsigned long long)s.played);
  std::printf("late            %llu\n", (unsigned long long)s.late);
  std::printf("missed          %llu\n", (unsigned long long)s.missed);
  std::printf("pass            %llu\n", (unsigned long long)s.pass);
  std::printf("marked          %llu\n", (unsigned long long)s.marked);
  std::printf("silence         %llu\n", (unsigned long long)s.silence);
  std::printf("other           %llu\n", (unsigned long long)s.other);
  std::printf("discontinuities %llu\n", (unsigned long long)s.discontinuities);
  std::printf("latency         %d period(s)\n", s.latency);
  std::printf("max gap         %.3f ms\n", s.maxGapMs);
  std::printf("violations      %llu\n", (unsigned long long)s.ioctlViolations);
  const bool clean = s.played > 0 && s.pass == s.played && s.late == 0 && s.missed == 0;
  std::printf("result          %s\n", clean ? "all pass-through" : "NOT CLEAN");
  return 0;
}

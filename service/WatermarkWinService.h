// The program's Windows service: "TARVEL Watermarking", started
// automatically, restarted by the service manager after a failure.
//
// Threads: the program body constructs it for a service action or for the
// service run; Run executes the whole program body on the service main
// thread; OnStop and OnShutdown come on the dispatcher's thread and only
// raise the stop and wait a bounded time for the body's stop sequence.
#pragma once

#include "tvlib/service/win_service.h"

class CWatermarkWinService : public CWinService {
 public:
  static const char kServiceName[];
  static const char kDisplayName[];  // also the console window's title
  static const char kDescription[];

  CWatermarkWinService();
  ~CWatermarkWinService() override;

  void OnStop() override;
  void OnShutdown() override;
  void Run(int argc, char** argv) override;

 private:
  SC_ACTION m_restartActions[3];
};

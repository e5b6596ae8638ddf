// Child program for the shared memory tests: the other process that opens a
// block by name, the way a client program does.
//
//   helper_shared_memory open <name> <size>   expects "parent" at 0, writes "child" at 64
//   helper_shared_memory lock <name> <size>   takes the mutex and exits holding it
//   helper_shared_memory read <name> <size>   exit code: ReadAt's result for 16 bytes
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tvlib/ipc/shared_memory.h"

int main(int argc, char** argv) {
  if (argc < 4) return 90;
  const std::string command = argv[1];
  CSharedMemoryBuffer block(
      argv[2], CSharedMemoryBuffer::kRead | CSharedMemoryBuffer::kWrite | CSharedMemoryBuffer::kOpen,
      static_cast<uint32_t>(std::strtoul(argv[3], nullptr, 0)));
  if (!block.IsOk()) return 91;
  if (command == "open") {
    char seen[7] = {};
    if (block.ReadAt(seen, 1, 6, 0) != 6 || std::strcmp(seen, "parent") != 0) return 92;
    if (block.WriteAt("child", 1, 6, 64) != 6) return 93;
    return 0;
  }
  if (command == "lock") {
    // Ends without Unlock: the mutex is abandoned.
    return block.Lock() ? 0 : 94;
  }
  if (command == "read") {
    char buffer[16];
    return block.ReadAt(buffer, 1, sizeof buffer, 0);
  }
  return 95;
}

// Child process for the raw codec tests: codes a RAW trailer byte with the
// global instance in the process's last moments, from the destructor of a
// static object built before that instance. It runs after every exit handler
// registered since, as a socket receiver still running at exit may code.
// Exit code 0: coded and decoded; 3: the instance was gone; 4: it coded
// wrongly; main's own 5 would mean the destructor never ran.
#include <cstdlib>

#include "tvlib/buffers/buffer.h"
#include "tvlib/fec/reed_solomon_codec.h"

namespace {

struct LateCoder {
  ~LateCoder() {
    const CReedSolomonRaw* fec = GetGlobalRawFEC();
    if (fec == nullptr) std::_Exit(3);
    CBufferBase<unsigned char> buffer(1);
    buffer[0] = 0x53;
    if (!fec->ComputeFEC(buffer) || buffer.GetLength() != 2) std::_Exit(4);
    buffer[1] ^= 0x40;  // one wrong nibble
    if (!fec->ExtractData(buffer, nullptr) || buffer.GetLength() != 1 || buffer[0] != 0x53) std::_Exit(4);
    std::_Exit(0);
  }
} g_lateCoder __attribute__((init_priority(150)));

}  // namespace

int main() { return 5; }

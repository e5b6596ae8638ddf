// Process entry of pelorin: the body lives in pelorin_core, where the
// service's Run calls it too.
#include "service/WatermarkMain.h"

int main(int argc, char** argv) { return ProgramMain(argc, argv); }

#include "tvlib/win.h"
int TvlibProbe() { return (int)GetCurrentProcessId() > 0; }

// The one walk over a directory's entries, shared by the tree operations.
#pragma once

#include <functional>
#include <string>

#include "tvlib/win.h"

// Calls `visit` with every entry of `directory` ("<directory>\*.*") except
// exactly "." and "..", and the entry's path "<directory>\<name>". A
// directory that cannot be enumerated visits nothing.
void ForEachDirectoryEntry(
    const char* directory,
    const std::function<void(const WIN32_FIND_DATAA& entry, const std::string& path)>& visit);

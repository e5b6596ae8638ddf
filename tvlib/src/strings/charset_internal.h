// The growth rule of StringPrintfW over any formatter, so that the rule can be
// driven by a formatter that never succeeds.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

namespace charset {

// Formats `count` characters at most into `room` (which has one more, zeroed,
// for a terminator); answers the length, or a negative value when cut.
using WideFormatter = std::function<int(wchar_t* room, size_t count)>;

// The first room is twice the format's length; a negative answer doubles it;
// an answer at least the room asks for that length plus 2. Gives up with ""
// at 1 MiB characters.
std::wstring FormatWideGrowing(size_t formatLength, const WideFormatter& format);

}  // namespace charset

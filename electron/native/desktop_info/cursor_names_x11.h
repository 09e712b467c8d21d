// X cursor names (freedesktop cursor-spec names and the classic cursor-font names) in the
// terms of the cursor table.
#pragma once

#include <string_view>

#include "desktop_info_platform.h"

namespace desktop_info {

// The cursor that XFixes reports by `name`: a shared cursor when the name is one of its
// aliases; otherwise a described cursor, whose description names the diagonal for the
// diagonal resize cursors and is the X name itself for anything else.
HostCursor HostCursorFromXCursorName(std::string_view name);

}  // namespace desktop_info

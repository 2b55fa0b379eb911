// The clipboard export of the comparison list.
#pragma once

#include "core/list/shared_state.h"

namespace tavrik {

// Puts the list on the clipboard: one line per row, columns 1 to 3 separated by tabs,
// CR LF after every line.
void CopyListToClipboard(Context& ctx);

}  // namespace tavrik

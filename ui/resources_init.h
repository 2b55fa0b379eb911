// The pictures and icons are compiled into the ui library; a static library must register
// them explicitly or the linker drops them.
#pragma once

namespace tavrik {
void InitResources();
}

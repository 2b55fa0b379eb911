#include "core/sync.h"

namespace tavrik {

// Placeholder until the synchronisation run lands; does nothing.
void SyncFolders(Context&) {}

int PrepareCopyTarget(const std::string&) { return 0; }

}  // namespace tavrik

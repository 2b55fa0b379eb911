#include "batch/run_batch.h"

namespace tavrik {

// Placeholder until the batch run lands; does nothing.
void RunBatch(Context&, const std::string&) {}

}  // namespace tavrik

// How many threads keep calls in flight on a folder on another machine, where each call
// waits for the link rather than for the disk or the processor.
#pragma once

namespace tavrik {

// Threads at first and at most for the listings and the pairs of a far folder.
inline constexpr int kFarHelpers = 48;
inline constexpr int kFarMaxHelpers = 96;
// Pair readers at first where the far answers are asked for ahead of the pairs.
inline constexpr int kFarFirstPairHelpers = 4;
// Threads preparing copies to or from a far folder: each holds a file's bytes in flight.
inline constexpr int kFarCopyHelpers = 48;

}  // namespace tavrik

// A replacement sent as a delta against the older file it replaces: the older file's
// signature where it lies, the delta of the new bytes against that signature where they lie,
// and the new file made of the older one and the delta beside it. The FileSystem calls
// Signature, Delta and WritePatched are made of these; a far end answers each in one call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/fs/file_system.h"

namespace tavrik {

// Files below this size go whole: their delta saves less than its extra calls cost.
inline constexpr uint64_t kDeltaThreshold = 64 * 1024;
// The longest delta sent as one; a longer one (a file mostly new) goes whole instead.
inline constexpr size_t kDeltaLimit = size_t{32} << 20;

// The signature of fd's bytes, read through fs from the start to the end. 0, or -1 with
// errno set.
int ComputeSignature(FileSystem& fs, int fd, std::string* sig);
// The delta of fd's bytes against sig; EFBIG where it grows past limit, EINVAL for a
// signature that does not read.
int ComputeDelta(FileSystem& fs, int fd, std::string_view sig, size_t limit, std::string* delta);
// Writes into out, from its start, what delta makes of basis's bytes. 0, or -1 with errno
// set (EINVAL for a delta that does not read).
int ApplyDelta(FileSystem& fs, int out, int basis, std::string_view delta);

}  // namespace tavrik

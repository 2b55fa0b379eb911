// How finely a file system stores modification times, so the age comparison does not call
// a file copied onto a FAT stick newer or older only because the stick dropped a second.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "core/fs/file_system.h"

namespace tavrik {

// Whole seconds between two modification times the file system can tell apart, from its
// type in the mount table: 2 for the FAT family (it stores times in two-second steps),
// 1 for everything else (the age comparison never looks below a second).
int64_t TimeStepOfType(std::string_view type);

// True for the FAT family, which stores local wall time instead of universal time (exFAT
// stores the offset too).
bool LocalTimeType(std::string_view type);

// What the file system that holds root keeps of modification times.
struct TimeTraits {
  int64_t step = 1;         // TimeStepOfType
  bool local_time = false;  // LocalTimeType
};

// True for a driver that corrupts a folder written from two threads at once (the FAT
// driver in user space loses directory entries and cross-links files when a new file is
// made in a folder while another is renamed in it); its writes must come one at a time.
bool SerialWritesType(std::string_view type);
bool SerialWritesOnly(FileSystem& fs, const std::string& root);

// The traits of the file system that holds root; a step of 1 and universal time when they
// cannot be told.
TimeTraits TimeTraitsOf(FileSystem& fs, const std::string& root);
int64_t TimeStepOf(FileSystem& fs, const std::string& root);

// Two modification times (whole seconds) compared at a step: 0 when they lie closer than
// the step, else the sign of a - b.
int CompareAtStep(int64_t a, int64_t b, int64_t step);

}  // namespace tavrik

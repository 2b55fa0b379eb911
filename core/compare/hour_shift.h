// The hour on FAT media. FAT stores local wall time, so after the clocks change (or on a
// machine in another time zone) every file written before shows a whole number of hours off
// against its twin on the other side: every pair would get an arrow, and an older copy
// could overwrite a newer file. The shift is found from the pairs themselves and applied
// pair by pair, since after a partial sync a stick holds files of both kinds.
#pragma once

#include <cstdint>

#include "core/fs/file_stamp.h"
#include "core/list/comparison_list.h"

namespace tavrik {

// Pairs of equal size whose times differ (by the step or more) needed before a shift is
// believed, and the share of them (in per cent) that must show the same one.
inline constexpr int kShiftMinPairs = 20;
inline constexpr int kShiftMinPercent = 90;
// Time zones lie within a day of each other.
inline constexpr int kShiftMaxHours = 24;

struct HourShift {
  int64_t seconds = 0;  // right time minus left time in the shifted pairs; 0: no shift
  bool found() const { return seconds != 0; }
};

// The shift between the two columns when exactly one root is of the FAT family: at least
// kShiftMinPairs pairs of equal size whose times differ, kShiftMinPercent of which lie the
// same whole number of hours apart (give or take step seconds). Pairs in line count for
// neither side. No shift otherwise.
HourShift DetectHourShift(const ComparisonList& list, bool left_fat, bool right_fat, int64_t step);

enum class ShiftedOrder {
  kAsIs,       // the pair's own times decide
  kEqual,      // equal size, exactly the shift apart: the same file
  kUndecided,  // the shift would turn the pair's order round: no side can be trusted
};

// How a pair with both files present compares once the shift is known.
ShiftedOrder OrderUnderShift(const FileStamp& left, const FileStamp& right, const HourShift& shift,
                             int64_t step);

}  // namespace tavrik

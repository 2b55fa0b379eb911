#include "core/compare/hour_shift.h"

#include <map>

#include "core/list/status.h"

namespace tavrik {

namespace {

constexpr int64_t kHour = 3600;

bool Within(int64_t a, int64_t b, int64_t step) { return a - b < step && b - a < step; }

// The whole number of hours d lies apart from zero, or 0 when it is not near one.
int64_t WholeHours(int64_t d, int64_t step) {
  const int64_t hours = (d >= 0 ? d + kHour / 2 : d - kHour / 2) / kHour;
  if (hours == 0 || hours > kShiftMaxHours || hours < -kShiftMaxHours) return 0;
  return Within(d, hours * kHour, step) ? hours : 0;
}

}  // namespace

HourShift DetectHourShift(const ComparisonList& list, bool left_fat, bool right_fat, int64_t step) {
  // exFAT and every other medium store the offset or universal time; two FAT roots are
  // shifted alike.
  if (left_fat == right_fat) return {};
  if (step < 1) step = 1;
  // Only pairs that differ take part: on a stick partly synced since the change, the pairs
  // already in line would otherwise outvote the shifted ones.
  int pairs = 0;
  std::map<int64_t, int> by_hours;
  for (int i = 1; i <= list.RowCount(); ++i) {
    const FileStamp* left = list.LeftStamp(i);
    const FileStamp* right = list.RightStamp(i);
    if (!left || !right || list.LeftName(i).empty() || list.RightName(i).empty()) continue;
    if (left->size != right->size) continue;
    const int64_t d = DateKey(*right) - DateKey(*left);
    if (Within(d, 0, step)) continue;
    ++pairs;
    const int64_t hours = WholeHours(d, step);
    if (hours != 0) ++by_hours[hours];
  }
  if (pairs < kShiftMinPairs) return {};
  for (const auto& [hours, count] : by_hours)
    if (int64_t{count} * 100 >= int64_t{pairs} * kShiftMinPercent) return {hours * kHour};
  return {};
}

ShiftedOrder OrderUnderShift(const FileStamp& left, const FileStamp& right, const HourShift& shift,
                             int64_t step) {
  if (!shift.found()) return ShiftedOrder::kAsIs;
  if (step < 1) step = 1;
  const int64_t d = DateKey(right) - DateKey(left);
  const int64_t s = shift.seconds;
  // Equal now: written after the change, or copied since.
  if (Within(d, 0, step)) return ShiftedOrder::kAsIs;
  if (Within(d, s, step))
    return left.size == right.size ? ShiftedOrder::kEqual : ShiftedOrder::kUndecided;
  // Between the two: newer one way without the shift, the other way with it.
  const bool between = s > 0 ? (d > 0 && d < s) : (d < 0 && d > s);
  return between ? ShiftedOrder::kUndecided : ShiftedOrder::kAsIs;
}

}  // namespace tavrik

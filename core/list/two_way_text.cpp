#include "core/list/two_way_text.h"

#include "core/state/pair_state.h"

namespace tavrik {

std::string TwoWaySummary(const TwoWaySession& session) {
  if (!session.active) return {};
  std::string text;
  const auto line = [&text](int64_t count, const char* what) {
    if (count != 0) text += std::to_string(count) + what + kCr;
  };
  line(session.deleted_left, " Dateien wurden links gelöscht.");
  line(session.deleted_right, " Dateien wurden rechts gelöscht.");
  line(session.changed_both, " Dateien wurden auf beiden Seiten geändert und werden übergangen.");
  line(session.moved, " Dateien wurden verschoben.");
  if (!session.trusted) {
    text += kNoCommonStateLine;
    text += kCr;
    if (!session.verdict.reason.empty()) text += session.verdict.reason + kCr;
  }
  return text;
}

const char* TwoWayWhyWord(TwoWayWhy why) {
  switch (why) {
    case TwoWayWhy::kNone:
    case TwoWayWhy::kAlike:
      return "";
    case TwoWayWhy::kNew:
      return "new";
    case TwoWayWhy::kChanged:
      return "changed";
    case TwoWayWhy::kDeleted:
      return "deleted";
    case TwoWayWhy::kMoved:
      return "moved";
    case TwoWayWhy::kConflict:
      return "conflict";
    case TwoWayWhy::kNoState:
      return "no-state";
  }
  return "";
}

}  // namespace tavrik

// What a two-way comparison tells beyond its marks, in the words the window's summary box
// and the console share.
#pragma once

#include <string>

#include "core/list/shared_state.h"

namespace tavrik {

// The summary lines of a two-way comparison, each ending in kCr, in their order: deleted on
// the left, deleted on the right, changed on both sides, moved, and the line that no common
// state exists yet (with its reason). Empty when the comparison did not run two-way.
std::string TwoWaySummary(const TwoWaySession& session);

// The word the console gives a row's or an action's reason ("new", "changed", ...); empty
// for none.
const char* TwoWayWhyWord(TwoWayWhy why);

}  // namespace tavrik

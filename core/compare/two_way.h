// The age comparison under the pair's common state: each side is compared with what both
// held at the end of the last two-way sync, so a file new on one side is told from one
// deleted on the other, a newer file from one changed on both sides, and a rename from a
// deletion and a new file. Without a trusted state the marks are the plain age comparison's
// and nothing is ever proposed for deletion or as a move.
#pragma once

#include <functional>

#include "core/list/shared_state.h"
#include "core/parallel/run_scope.h"

namespace tavrik {

// The mark the plain age comparison gives the row at pos.
using PlainAgeMark = std::function<Mark(int pos)>;

// Loads the pair's state, writes a mark into every row and fills ctx.state.two_way for the
// sync and the front ends. Reads the files of rows changed on both sides and of move
// candidates; writes nothing to either root. plain gives the marks where the state has no
// say (no trusted state, both sides in line with each other).
void CompareTwoWay(Context& ctx, const PlainAgeMark& plain, const RunScope& scope);

// The limit of missing files for a state of total files under limit (see DeleteLimit).
int64_t MissingLimit(const DeleteLimit& limit, int64_t total);

}  // namespace tavrik

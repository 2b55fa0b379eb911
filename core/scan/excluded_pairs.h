// A pair is never split by the exclusion rules: where the names of the two sides differ in
// letter case or Unicode form, the rules (case-sensitive) may exclude one and keep the
// other, and a copy onto a case-insensitive medium would then reach the excluded file.
#pragma once

#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "core/list/shared_state.h"

namespace tavrik {

// The pairing keys of what the rules excluded on one side.
class ExcludedKeys {
 public:
  explicit ExcludedKeys(const std::vector<ExcludedEntry>& excluded);
  bool empty() const { return keys_.empty(); }
  // True when name, or a folder it lies in, pairs with an excluded entry.
  bool Covers(std::string_view name) const;

 private:
  std::unordered_set<std::string> keys_;
};

// Before a right fill: the left files the last right fill kept out come back as rows.
void RestoreWithheldRows(Context& ctx);

// After a right fill: left files left without a partner whose name pairs with an entry the
// rules excluded on the right leave the list (kept aside for the next right fill).
void WithholdUncoveredPartners(Context& ctx);

}  // namespace tavrik

// Two trees for runs of the age comparison: a file newer on the left, one newer on the
// right, one of the same age, and one on each side alone.
#pragma once

#include <string>

#include "support/temp_tree.h"

namespace tavrik::testing {

struct AgeTrees {
  AgeTrees() {
    left = t.Mkdir("links");
    right = t.Mkdir("rechts");
    t.Write("links/neu.txt", "left new", 2000000000);
    t.Write("rechts/neu.txt", "right old", 1000000000);
    t.Write("links/alt.txt", "left old", 1000000000);
    t.Write("rechts/alt.txt", "right new", 2000000000);
    t.Write("links/gleich.txt", "same", 1500000000);
    t.Write("rechts/gleich.txt", "same", 1500000000);
    t.Write("links/nur-links.txt", "l", 1500000000);
    t.Write("rechts/nur-rechts.txt", "r", 1500000000);
  }
  TempTree t;
  std::string left, right;
};

}  // namespace tavrik::testing

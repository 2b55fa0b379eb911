// The progress line's text: counts, megabytes with the German comma, rate and time left.
#include <gtest/gtest.h>

#include "cli/progress.h"

namespace tavrik {
namespace {

// Catches a wrong rate or time left (bytes still to go divided by the rate so far), and
// a rate shown before there is anything to measure it by.
TEST(ProgressLineTest, RateAndTimeLeftFollowTheBytesDone) {
  EXPECT_EQ(ProgressMeter::Line("Abgleich", 2, 8, 25000000, 100000000, 5.0, 25.0),
            "Abgleich: 25 %, 2/8 Dateien, 25,0 MB von 100,0 MB, 5,0 MB/s, noch 0:00:15");
  EXPECT_EQ(ProgressMeter::Line("Abgleich", 0, 8, 0, 100000000, 0.1, 1.0),
            "Abgleich: 1 %, 0/8 Dateien, 0,0 MB von 100,0 MB");
  // Without bytes the time left comes from the percentage.
  EXPECT_EQ(ProgressMeter::Line("Altersvergleich", 5, 10, 0, 0, 10.0, 50.0),
            "Altersvergleich: 50 %, 5/10 Dateien, noch 0:00:10");
  EXPECT_EQ(ProgressMeter::Line("Einlesen links", 0, 0, 0, 0, 7300.0, 25.0),
            "Einlesen links: 25 %, noch 6:05:00");
}

// Catches a meter that writes to something that is not a terminal.
TEST(ProgressLineTest, NothingWithoutATerminal) {
  FILE* file = std::tmpfile();
  ASSERT_NE(file, nullptr);
  ProgressMeter meter(file, true);
  EXPECT_FALSE(meter.active());
  meter.Start("Abgleich", {{1, 10}}, false);
  meter.Update(50);
  meter.Clear();
  EXPECT_EQ(std::ftell(file), 0);
  std::fclose(file);
}

}  // namespace
}  // namespace tavrik

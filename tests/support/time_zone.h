// For tests on real FAT media: a time zone set for a while, and a file written with a time.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <string>

namespace tavrik::testing {

// Sets TZ for the lifetime of the object, so that the FAT driver started meanwhile reads the
// stick's wall times in that zone.
class TimeZone {
 public:
  explicit TimeZone(const char* zone) {
    const char* old = std::getenv("TZ");
    had_ = old != nullptr;
    if (had_) saved_ = old;
    Set(zone);
  }
  ~TimeZone() {
    if (had_)
      setenv("TZ", saved_.c_str(), 1);
    else
      unsetenv("TZ");
    tzset();
  }
  TimeZone(const TimeZone&) = delete;
  TimeZone& operator=(const TimeZone&) = delete;
  void Set(const char* zone) {
    setenv("TZ", zone, 1);
    tzset();
  }

 private:
  std::string saved_;
  bool had_ = false;
};

// Writes a file on a real medium with the given time.
inline void WriteAt(const std::string& path, const std::string& content, int64_t seconds) {
  std::ofstream(path, std::ios::binary) << content;
  struct timespec times[2] = {{seconds, 0}, {seconds, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
}

}  // namespace tavrik::testing

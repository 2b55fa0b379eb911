#include "cli/progress.h"

#include <unistd.h>

#include <cmath>

namespace tavrik {

namespace {

constexpr auto kInterval = std::chrono::milliseconds(200);

// "1,5 MB": one decimal, German decimal comma.
std::string Megabytes(int64_t bytes) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f MB", static_cast<double>(bytes) / 1e6);
  std::string out = text;
  for (char& c : out)
    if (c == '.') c = ',';
  return out;
}

std::string Duration(double seconds) {
  const long s = std::lround(seconds);
  char text[32];
  std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
  return text;
}

}  // namespace

ProgressMeter::ProgressMeter(FILE* err, bool enabled)
    : err_(err), active_(enabled && err && ::isatty(::fileno(err)) == 1) {}

void ProgressMeter::Start(std::string what, std::vector<RowWork> rows, bool from_end) {
  Clear();
  what_ = std::move(what);
  rows_ = std::move(rows);
  from_end_ = from_end;
  files_total_ = 0;
  bytes_total_ = 0;
  for (const RowWork& w : rows_) {
    files_total_ += w.files;
    bytes_total_ += w.bytes;
  }
  start_ = Clock::now();
  last_ = {};
}

std::string ProgressMeter::Line(const std::string& what, int files_done, int files_total,
                                int64_t bytes_done, int64_t bytes_total, double elapsed,
                                double percent) {
  std::string line = what + ": " + std::to_string(static_cast<int>(percent)) + " %";
  if (files_total > 0)
    line += ", " + std::to_string(files_done) + "/" + std::to_string(files_total) + " Dateien";
  if (bytes_total > 0) {
    line += ", " + Megabytes(bytes_done) + " von " + Megabytes(bytes_total);
    if (elapsed > 0.5 && bytes_done > 0) {
      const double rate = static_cast<double>(bytes_done) / elapsed;
      line += ", " + Megabytes(static_cast<int64_t>(rate)) + "/s";
      line += ", noch " + Duration(static_cast<double>(bytes_total - bytes_done) / rate);
    }
  } else if (elapsed > 0.5 && percent > 0 && percent < 100) {
    line += ", noch " + Duration(elapsed * (100 - percent) / percent);
  }
  return line;
}

void ProgressMeter::Update(float percent) {
  if (!active_ || what_.empty()) return;
  if (percent <= 0) {
    Clear();
    return;
  }
  const Clock::time_point now = Clock::now();
  // The first and the last value always show; in between a few times a second.
  if (shown_ && percent < 100 && now - last_ < kInterval) return;
  last_ = now;
  int files = 0;
  int64_t bytes = 0;
  if (!rows_.empty()) {
    const size_t n = rows_.size();
    auto done = static_cast<size_t>(std::lround(percent / 100.0 * static_cast<double>(n)));
    if (done > n) done = n;
    for (size_t k = 0; k < done; ++k) {
      const RowWork& w = rows_[from_end_ ? n - 1 - k : k];
      files += w.files;
      bytes += w.bytes;
    }
  }
  const double elapsed = std::chrono::duration<double>(now - start_).count();
  std::fprintf(err_, "\r%s\x1b[K",
               Line(what_, files, files_total_, bytes, bytes_total_, elapsed, percent).c_str());
  std::fflush(err_);
  shown_ = true;
}

void ProgressMeter::Clear() {
  if (!active_ || !shown_) return;
  std::fputs("\r\x1b[K", err_);
  std::fflush(err_);
  shown_ = false;
}

}  // namespace tavrik

#include "core/list/status.h"

#include <cstdio>
#include <ctime>

namespace tavrik {

void SetStatus(Host& host, int panel, std::string_view text) {
  if (panel == 2 && !text.empty()) {
    host.ShowStatus(panel, "Status: " + std::string(text));
    return;
  }
  host.ShowStatus(panel, std::string(text));
}

void EnableCompareButton(Host& host, bool enabled) { host.SetCompareButtonEnabled(enabled); }

void ClearList(ComparisonList& list) { list.Clear(); }

std::string RowCountText(int rows) {
  return std::to_string(rows) + (rows == 1 ? " Datei" : " Dateien");
}

int64_t DateKey(const FileStamp& stamp) {
  constexpr int64_t kFirst = -62135596800;  // 0001-01-01 00:00:00 UTC
  constexpr int64_t kLast = 253402300799;   // 9999-12-31 23:59:59 UTC
  return std::min(std::max(stamp.mtime_sec, kFirst), kLast);
}

std::string FileDateText(const FileStamp& stamp) {
  time_t t = static_cast<time_t>(DateKey(stamp));
  struct tm utc {};
  struct tm local {};
  gmtime_r(&t, &utc);
  if (!localtime_r(&t, &local)) local = utc;
  // Local time near the clamp limits can leave the four-digit range.
  if (local.tm_year + 1900 < 1 || local.tm_year + 1900 > 9999) local = utc;
  char text[128];
  std::snprintf(text, sizeof text, "%04d%02d%02d%02d:%02d:%02d|%02d.%02d.%04d %02d:%02d:%02d",
                utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min,
                utc.tm_sec, local.tm_mday, local.tm_mon + 1, local.tm_year + 1900, local.tm_hour,
                local.tm_min, local.tm_sec);
  return text;
}

}  // namespace tavrik

// Small shared procedures: status panels, the compare button, clearing the list, and
// the date text of a file.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "core/fs/file_stamp.h"
#include "core/list/comparison_list.h"
#include "core/list/host.h"

namespace tavrik {

// Panel 2 with a non-empty text gets the prefix "Status: "; everything else is shown as is.
void SetStatus(Host& host, int panel, std::string_view text);
void EnableCompareButton(Host& host, bool enabled);
void ClearList(ComparisonList& list);

// "1 Datei", "0 Dateien", "2 Dateien": the row count text of status panel 1.
std::string RowCountText(int rows);

// The 36-character date text: a 16-character key that sorts as text in time order
// (built from UTC, so it orders the true modification times to the second, also across
// a daylight-saving change), "|", then the display form in local time:
//   YYYYMMDDhh:mm:ss|DD.MM.YYYY hh:mm:ss
std::string FileDateText(const FileStamp& stamp);

// The whole seconds that the date key orders by (clamped to four-digit years), so two
// stamps compare like their date keys.
int64_t DateKey(const FileStamp& stamp);

}  // namespace tavrik

// The rows of the list as lines of text: the clipboard's export and the console's output
// write them here, each with the line end its readers expect.
#pragma once

#include <string>
#include <string_view>

#include "core/list/comparison_list.h"

namespace tavrik {

// The clipboard's line end.
inline constexpr std::string_view kCrLf = "\r\n";

// Appends three fields separated by tabs, then line_end.
void AppendRowText(std::string& out, std::string_view first, std::string_view second,
                   std::string_view third, std::string_view line_end);

// Appends row pos of the list: left name, mark, right name.
void AppendListRow(std::string& out, const ComparisonList& list, int pos,
                   std::string_view line_end);

}  // namespace tavrik

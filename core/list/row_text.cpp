#include "core/list/row_text.h"

namespace tavrik {

void AppendRowText(std::string& out, std::string_view first, std::string_view second,
                   std::string_view third, std::string_view line_end) {
  out.append(first).push_back('\t');
  out.append(second).push_back('\t');
  out.append(third).append(line_end);
}

void AppendListRow(std::string& out, const ComparisonList& list, int pos,
                   std::string_view line_end) {
  AppendRowText(out, list.LeftName(pos), MarkText(list.GetMark(pos)), list.RightName(pos),
                line_end);
}

}  // namespace tavrik

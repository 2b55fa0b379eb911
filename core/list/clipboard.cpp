#include "core/list/clipboard.h"

#include "core/list/huge_pages.h"
#include "core/list/row_text.h"
#include "core/list/status.h"

namespace tavrik {

void CopyListToClipboard(Context& ctx) {
  if (ctx.state.busy) return;
  Host& host = ctx.host;
  const ComparisonList& list = ctx.list;
  host.SetBusyPointer(true);
  const int n = list.RowCount();
  SetStatus(host, 2, "Liste wird in die Zwischenablage kopiert ...");
  // Sized at once: growing a text of many megabytes step by step touches every page twice.
  size_t size = 0;
  for (int i = 1; i <= n; ++i)
    size += list.LeftName(i).size() + MarkText(list.GetMark(i)).size() + list.RightName(i).size() +
            2 + std::string_view(kCrLf).size();
  std::string text;
  text.reserve(size);
  AdviseHugePages(text.data(), text.capacity());
  for (int i = 1; i <= n; ++i) {
    host.SetProgress(static_cast<float>(static_cast<double>(i) * 100.0 / n));
    AppendListRow(text, list, i, kCrLf);
  }
  host.SetClipboardText(text);
  SetStatus(host, 2, "Fertig.");
  host.SetProgress(0);
  host.SetBusyPointer(false);
}

}  // namespace tavrik

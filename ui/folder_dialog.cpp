#include "ui/folder_dialog.h"

#include <QDir>
#include <QFileDialog>

namespace tavrik {

QString CutAtNul(const QString& text) {
  qsizetype nul = text.indexOf(QChar(u'\0'));
  return nul < 0 ? text : text.left(nul);
}

QString BrowseForFolder(QWidget* owner, const QString& prompt) {
  QString title = prompt;
  title.replace('\r', ' ');
  QFileDialog dialog(owner, title, QDir::homePath());
  dialog.setFileMode(QFileDialog::Directory);
  dialog.setOption(QFileDialog::ShowDirsOnly, true);
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  if (dialog.exec() != QDialog::Accepted) return {};
  const QStringList chosen = dialog.selectedFiles();
  if (chosen.isEmpty()) return {};
  return CutAtNul(QDir(chosen.first()).absolutePath());
}

}  // namespace tavrik

#include "ui/shell.h"

#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QUrl>

#include "core/fs/paths.h"

#ifndef TAVRIK_DOC_DIR
#define TAVRIK_DOC_DIR "/usr/share/doc/tavrik"
#endif

namespace tavrik {

namespace {

ShellOpener& Opener() {
  static ShellOpener opener;
  return opener;
}

}  // namespace

QUrl UrlFor(const QString& target) {
  if (target.startsWith('/')) return QUrl::fromLocalFile(target);
  static const QRegularExpression scheme("^[A-Za-z][A-Za-z0-9+.-]*:");
  if (scheme.match(target).hasMatch()) return QUrl(target);
  return QUrl("https://" + target);
}

void SetShellOpener(ShellOpener opener) { Opener() = std::move(opener); }

void ShellOpen(QWidget*, const QString& target, int show_command) {
  if (Opener()) {
    Opener()(target, show_command);
    return;
  }
  QUrl url = UrlFor(target);
  // A missing local file would only make the desktop complain; stay silent instead.
  if (url.isLocalFile() && !QFileInfo::exists(url.toLocalFile())) return;
  QDesktopServices::openUrl(url);  // the result is of no interest: silent on failure
}

QString HelpFilePath(const QString& app_dir) {
  const QString name = "tavrik.htm";
  const QString first = app_dir + name;
  const QString candidates[] = {
      first,
      QDir::cleanPath(app_dir + "../share/doc/tavrik/" + name),
      QString::fromUtf8(TAVRIK_DOC_DIR "/") + name,
  };
  for (const QString& path : candidates)
    if (QFileInfo(path).isFile()) return path;
  return first;
}

QString HelpFilePath() {
  return HelpFilePath(QFile::decodeName(QByteArray::fromStdString(AppPath())));
}

void ShowHelp(QWidget* window, const QString& help_file) {
  ShellOpen(window, help_file, kShowDefault);
}

}  // namespace tavrik

// Handing documents and addresses to the desktop, which opens them with the user's
// programs: the help page, web pages, an e-mail address. Failures stay silent.
#pragma once

#include <QString>
#include <QUrl>
#include <functional>

class QWidget;

namespace tavrik {

// The addresses the program opens, kept in one place.
namespace address {
inline constexpr const char* kMagazine = "www.example.org/lumbra/";
inline constexpr const char* kMakerMail = "tavrik@example.org";
inline constexpr const char* kMakerNews = "www.example.org/tavrik/aktuelles.html";
inline constexpr const char* kMakerTools = "www.example.org/tavrik/tools.html";
inline constexpr const char* kMakerSite = "www.example.org/tavrik/";
}  // namespace address

inline constexpr int kShowNormal = 1;
inline constexpr int kShowDefault = 10;

// Opens target: a "scheme:" address as it is, an absolute path as a local file, anything
// else (a host name first) as a web address. The show command is the caller's wish for
// the new window; the desktop decides.
void ShellOpen(QWidget* window, const QString& target, int show_command);
// The address ShellOpen hands to the desktop for target.
QUrl UrlFor(const QString& target);
void ShowHelp(QWidget* window, const QString& help_file);

// The help page "tavrik.htm", looked for in this order, the first that exists wins:
//   1. app_dir itself (the program's folder: the build tree's bin/, or a copy kept there);
//   2. app_dir/../share/doc/tavrik/ (an installed program, whatever the prefix);
//   3. the documentation folder the program was built for (/usr/share/doc/tavrik).
// When none exists, the first: its launch then fails silently, like any missing help file.
QString HelpFilePath(const QString& app_dir);
QString HelpFilePath();

// Replaces the desktop call, so tests can watch launches without starting a browser.
using ShellOpener = std::function<void(const QString& target, int show_command)>;
void SetShellOpener(ShellOpener opener);

}  // namespace tavrik

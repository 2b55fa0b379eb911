// Choosing a folder with the platform's folder dialog.
#pragma once

#include <QString>

class QWidget;

namespace tavrik {

// Opens a modal folder dialog with prompt as its text; returns the chosen folder's
// absolute path, or empty text when the user cancels.
QString BrowseForFolder(QWidget* owner, const QString& prompt);

// The part of text before its first NUL character; all of it when there is none.
QString CutAtNul(const QString& text);

}  // namespace tavrik

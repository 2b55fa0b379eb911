#include <QApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>
#include <string>

#include "ui/form1.h"

namespace {

// The whole argument text after the program name, as one string: the arguments joined
// by single blanks (the batch run trims it).
std::string CommandLineText(int argc, char** argv) {
  std::string text;
  for (int i = 1; i < argc; ++i) {
    if (i > 1) text.push_back(' ');
    text += argv[i];
  }
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string command_line = CommandLineText(argc, argv);
  auto* app = new QApplication(argc, argv);
  QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
  QTranslator qt_german;
  if (qt_german.load("qtbase_de", QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
    QApplication::installTranslator(&qt_german);
  int status = 0;
  {
    tavrik::Form1 form;
    form.Load(command_line);
    status = QApplication::exec();
  }
  delete app;
  return status;
}

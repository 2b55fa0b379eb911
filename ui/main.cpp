#include <QApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>
#include <cstdio>
#include <string>

#include "core/parallel/stop_signals.h"
#include "ui/command_line.h"
#include "ui/form1.h"

#ifndef TAVRIK_VERSION
#define TAVRIK_VERSION "0"
#endif

int main(int argc, char** argv) {
  const tavrik::StartRequest request = tavrik::ReadCommandLine(argc, argv);
  // Answered before Qt starts, so they work without a display.
  if (request.kind == tavrik::StartRequest::kHelp) {
    std::fputs(tavrik::UsageText(), stdout);
    return 0;
  }
  if (request.kind == tavrik::StartRequest::kVersion) {
    std::fputs("tavrik " TAVRIK_VERSION "\n", stdout);
    return 0;
  }
  auto* app = new QApplication(argc, argv);
  QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
  QTranslator qt_german;
  if (qt_german.load("qtbase_de", QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
    QApplication::installTranslator(&qt_german);
  int status = 0;
  {
    tavrik::Form1 form;
    // A signal stops a running operation through its clean-up; the window then ends.
    tavrik::CatchStopSignals(form.State().stop);
    form.State().far_access = request.far;
    if (form.Load(request.command_line, request.rules, request.two_way))
      form.OpenStartFolders(request);
    status = QApplication::exec();
  }
  delete app;
  return status;
}

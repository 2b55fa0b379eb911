#include "ui/command_line.h"

#include <sys/stat.h>

#include <string_view>
#include <vector>

#include "batch/far_roots.h"

namespace tavrik {

namespace {

bool IsFolder(const char* path) {
  struct stat st {};
  return ::stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

// A folder for a column: one here that exists, or one named on another machine (whether it
// can be reached is seen when it is opened).
bool IsColumnFolder(const char* path) {
  return IsFolder(path) || NamesFarFolder(path, FolderNames::kCommandLine);
}

}  // namespace

StartRequest ReadCommandLine(int all_argc, char** all_argv) {
  StartRequest request;
  std::vector<char*> rest = {all_argv[0]};
  int first = 1;
  for (; first < all_argc; ++first) {
    const std::string_view arg = all_argv[first];
    if (arg == "--") {
      ++first;
      break;
    }
    if (arg == "--two-way") {
      request.two_way = true;
      continue;
    }
    if (arg == "--push-agent") {
      request.far.push_agent = true;
      continue;
    }
    if (arg.rfind("--ssh=", 0) == 0) {
      request.far.has_ssh = true;
      request.far.ssh = std::string(arg.substr(6));
      continue;
    }
    if (!TakeRuleOption(arg, first, &request.rules)) break;
  }
  rest.insert(rest.end(), all_argv + first, all_argv + all_argc);
  const int argc = static_cast<int>(rest.size());
  char** argv = rest.data();
  if (argc >= 2 && std::string_view(argv[1]) == "--folders") {
    const int count = argc - 2;
    if (count == 0) return request;
    bool all_folders = true;
    for (int i = 2; i < argc; ++i) all_folders = all_folders && IsFolder(argv[i]);
    if (count > 2 || !all_folders) {
      request.kind = StartRequest::kFolderChoice;
      return request;
    }
    request.kind = StartRequest::kFolders;
    request.left = argv[2];
    if (count == 2) request.right = argv[3];
    return request;
  }
  if (argc == 2) {
    const std::string_view only = argv[1];
    if (only == "--help" || only == "-h") {
      request.kind = StartRequest::kHelp;
      return request;
    }
    if (only == "--version") {
      request.kind = StartRequest::kVersion;
      return request;
    }
  }
  if (argc == 3 && IsColumnFolder(argv[1]) && IsColumnFolder(argv[2])) {
    request.kind = StartRequest::kFolders;
    request.left = argv[1];
    request.right = argv[2];
    return request;
  }
  for (int i = 1; i < argc; ++i) {
    if (i > 1) request.command_line.push_back(' ');
    request.command_line += argv[i];
  }
  return request;
}

const char* UsageText() {
  return "Aufruf: tavrik [STEUERDATEI]\n"
         "        tavrik LINKS RECHTS\n"
         "        tavrik --folders [ORDNER [ORDNER]]\n"
         "        tavrik --help | --version\n"
         "\n"
         "Vergleicht zwei Verzeichnisbäume und gleicht sie ab (siehe tavrik(1)).\n"
         "\n"
         "  STEUERDATEI   startet den Batch-Modus mit dieser Steuerdatei (INI-Datei)\n"
         "  LINKS RECHTS  füllt die linke und die rechte Spalte mit diesen Ordnern\n"
         "  --folders ... die im Dateimanager gewählten Ordner: einer füllt die linke\n"
         "                Spalte, zwei füllen beide Spalten\n"
         "  -h, --help    zeigt diese Hilfe und endet\n"
         "  --version     zeigt die Version und endet\n"
         "\n"
         "Vor allem anderen dürfen --two-way und Ausschlussregeln in der Schreibweise\n"
         "von .gitignore stehen (siehe tavrik(1)):\n"
         "  --two-way             Zweiweg-Abgleich: der Stand beider Ordner wird gemerkt,\n"
         "                        so dass Löschungen und Verschiebungen übertragen und\n"
         "                        auf beiden Seiten geänderte Dateien übergangen werden\n"
         "  --exclude=REGEL       lässt aus, worauf REGEL passt\n"
         "  --include=REGEL       nimmt wieder auf, worauf REGEL passt (wie '!REGEL')\n"
         "  --exclude-from=DATEI  die Regeln aus DATEI, eine je Zeile\n"
         "  --no-user-rules       ohne die Regeln aus ~/.config/tavrik/ignore\n"
         "\n"
         "LINKS und RECHTS dürfen auf einem anderen Rechner liegen: [benutzer@]rechner:pfad\n"
         "oder ssh://[benutzer@]rechner[:port]/pfad (eine Steuerdatei nennt sie nur als\n"
         "ssh://...). Davor dürfen stehen:\n"
         "  --ssh=BEFEHL          startet die Gegenstelle mit BEFEHL (Wörter durch\n"
         "                        Leerzeichen getrennt) statt mit ssh; ebenso TAVRIK_SSH\n"
         "  --push-agent          kopiert den tavrik-agent neben diesem Programm nach\n"
         "                        ~/.cache/tavrik/ auf dem anderen Rechner und startet ihn\n"
         "                        dort statt eines installierten tavrik-cli\n";
}

}  // namespace tavrik

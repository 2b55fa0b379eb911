#include "batch/control_file.h"

#include <fcntl.h>
#include <sys/stat.h>

#include "batch/far_roots.h"
#include "batch/leading_number.h"
#include "core/fs/paths.h"

namespace tavrik {

namespace {

enum class EntryKind { kMissing, kFolder, kOther };

EntryKind KindOf(FileSystem& fs, const std::string& path) {
  struct stat st {};
  // No entry can have a NUL in its name; stat would look at the part before it.
  if (path.find('\0') != std::string::npos || fs.StatAt(AT_FDCWD, path.c_str(), &st, 0) != 0)
    return EntryKind::kMissing;
  return S_ISDIR(st.st_mode) ? EntryKind::kFolder : EntryKind::kOther;
}

std::string Line(std::string_view text) { return " * " + std::string(text) + kCr; }

std::string FolderProblem(FileSystem& fs, const std::string& path, std::string_view side) {
  const std::string start = "Der Verzeichnispfad ''" + path + "'' für die " + std::string(side);
  if (path.empty()) return Line(start + " Spalte existiert nicht.");
  // A far folder is looked at over its connection, when the run opens it.
  if (NamesFarFolder(path, FolderNames::kControlFile)) return "";
  if (KindOf(fs, path) == EntryKind::kFolder) return "";
  // The path ends in the separator just added; a file only answers to its name without.
  if (KindOf(fs, path.substr(0, path.size() - 1)) == EntryKind::kOther)
    return Line(start + " Spalte bezeichnet eine Datei, keinen Ordner.");
  return Line(start + " Spalte existiert nicht.");
}

// An 8-bit file's folder comes back as UTF-8 like every value (ini_text.h): file names
// here are UTF-8 by convention, so a control file written on Windows names the same
// folder as its copy here. The price: a folder whose name on disk is not UTF-8 cannot be
// named in a control file.
std::string ReadFolder(IniReader& reader, const std::string& name, std::string_view key) {
  std::string path = reader.ReadIniString("Pfade", key, "", name);
  if (path.empty()) return path;
  return AddBackslash(path);
}

bool ReadRequest(IniReader& reader, const std::string& name, std::string_view key) {
  return RequestOn(reader.ReadIniString("AutoStart", key, "", name));
}

}  // namespace

std::string ControlFileName(const std::string& name, const std::string& app_path) {
  if (name.find(':') != std::string::npos || name.find(kSep) != std::string::npos) return name;
  return app_path + name;
}

std::string ControlFileProblem(FileSystem& fs, const std::string& name) {
  switch (KindOf(fs, name)) {
    case EntryKind::kMissing:
      return Line("Die Steuerdatei ''" + name + "'' wurde nicht gefunden.");
    case EntryKind::kFolder:
      return Line("Der angegebene Name ''" + name + "''bezeichnet ein Verzeichnis, keine Datei.");
    case EntryKind::kOther:
      break;
  }
  return "";
}

BatchFolders ReadBatchFolders(FileSystem& fs, IniReader& reader, const std::string& name,
                              std::string* problems) {
  BatchFolders folders;
  folders.left = ReadFolder(reader, name, "Links");
  *problems += FolderProblem(fs, folders.left, "linke");
  folders.right = ReadFolder(reader, name, "Rechts");
  *problems += FolderProblem(fs, folders.right, "rechte");
  return folders;
}

BatchRequests ReadBatchRequests(IniReader& reader, const std::string& name) {
  BatchRequests r;
  r.binary = ReadRequest(reader, name, "Binärvergleich");
  r.age = ReadRequest(reader, name, "Altersvergleich");
  r.sync = ReadRequest(reader, name, "Abgleich");
  r.clipboard = ReadRequest(reader, name, "Zwischenablage");
  r.end = ReadRequest(reader, name, "Ende");
  return r;
}

std::string RequestProblems(const BatchRequests& r) {
  const bool compare = r.binary || r.age;
  const std::string no_type =
      Line("Sie haben einen Abgleich ohne Angabe des Vergleichstyps angefordert.");
  std::string lines;
  if (r.binary && r.age)
    lines += Line(
        "Sie haben sowohl Binär- als auch Altersvergleich angefordert - diese schliessen einander "
        "aus.");
  if (!compare && r.sync) lines += no_type;
  if (!compare && r.end)
    lines += Line(
        "Sie haben keinen Vergleichstyps eingestellt, sondern nur das autom. Ende des Programms.");
  // The clipboard without a comparison type gets the same line as the synchronisation.
  if (!compare && r.clipboard) lines += no_type;
  if (compare && r.end && !r.clipboard && !r.sync)
    lines += Line(
        "In der jetzigen Einstellung haben Sie nichts vom Vergleichsergebnis, da das Programm ohne "
        "Abgleich und/oder Kopie in die Zwischenablage enden soll.");
  if (r.binary && r.sync) lines += Line("Ein Abgleich ist für Binärvergleiche nicht verfügbar.");
  return lines;
}

std::string FarFolderProblem(const std::string& why) { return Line(why); }

std::string ProblemBoxText(const std::string& problems) {
  return std::string("Sie haben ") + kProgramTitle +
         " im Batch-Modus aufgerufen. Dabei kam es zu folgendem Fehler:" + kCr + kCr + problems +
         kCr +
         "Der Batch-Modus wird daher unterbrochen. Bitte überprüfen Sie Ihre Angaben und "
         "starten Sie erneut.";
}

}  // namespace tavrik

#include "core/fs/error_text.h"

#include <cerrno>

namespace tavrik {

std::string GermanErrorText(int code) {
  switch (code) {
    case ENOENT:
      return "Die Datei oder das Verzeichnis ist nicht vorhanden.";
    case EACCES:
      return "Zugriff verweigert.";
    case EPERM:
      return "Die Operation ist nicht erlaubt.";
    case ENOSPC:
      return "Auf dem Datenträger ist kein Speicherplatz mehr frei.";
    case EROFS:
      return "Das Dateisystem ist nur lesbar eingehängt.";
    case EIO:
      return "Ein-/Ausgabefehler.";
    case EEXIST:
      return "Die Datei ist bereits vorhanden.";
    case EISDIR:
      return "Das ist ein Verzeichnis.";
    case ENOTDIR:
      return "Das ist kein Verzeichnis.";
    case EBUSY:
      return "Das Gerät oder die Ressource ist belegt.";
    case EXDEV:
      return "Der Verweis geht über Gerätegrenzen hinweg.";
    case ENAMETOOLONG:
      return "Der Dateiname ist zu lang.";
    case EINVAL:
      return "Ungültiges Argument.";
    case ESTALE:
      return "Die Datei ist nicht mehr die, die der Vergleich gesehen hat.";
    case ENOTEMPTY:
      return "Das Verzeichnis ist nicht leer.";
    case EDQUOT:
      return "Das Speicherkontingent ist überschritten.";
    case ETXTBSY:
      return "Die Programmdatei ist in Benutzung.";
    case ELOOP:
      return "Zu viele Ebenen symbolischer Verknüpfungen.";
    case EMFILE:
    case ENFILE:
      return "Zu viele offene Dateien.";
    case ENOMEM:
      return "Nicht genügend Hauptspeicher verfügbar.";
    case EFBIG:
      return "Die Datei ist zu groß.";
    case ENXIO:
      return "Kein solches Gerät oder keine solche Adresse.";
    case ENODEV:
      return "Kein solches Gerät.";
    case ENOTCONN:
      return "Der Transportendpunkt ist nicht verbunden.";
    case ETIMEDOUT:
      return "Die Zeit für die Verbindung ist abgelaufen.";
    case EOPNOTSUPP:
      return "Die Operation wird nicht unterstützt.";
    default: {
      std::string text = "Systemfehler ";
      text += std::to_string(code);
      text += '.';
      return text;
    }
  }
}

std::string ReasonText(const FsError& error) {
  return error.why.empty() ? GermanErrorText(error.code) : error.why;
}

}  // namespace tavrik

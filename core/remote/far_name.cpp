#include "core/remote/far_name.h"

#include <charconv>

namespace tavrik {

namespace {

constexpr std::string_view kScheme = "ssh://";

FarNameParse Refused(std::string_view text, std::string why) {
  FarNameParse parse;
  parse.kind = FarNameKind::kRefused;
  parse.name.as_given = std::string(text);
  parse.why = std::move(why);
  return parse;
}

// Splits "[user@]host" or "[user@][v6]" off authority; rest gets what follows the host (a
// port, where allowed). False when the brackets do not close.
bool SplitAuthority(std::string_view authority, FarName* name, std::string_view* rest) {
  // The user ends at the last "@" before a bracketed address (which holds none).
  const size_t at = authority.substr(0, authority.find('[')).rfind('@');
  if (at != std::string_view::npos) {
    name->user = std::string(authority.substr(0, at));
    authority.remove_prefix(at + 1);
  }
  if (!authority.empty() && authority.front() == '[') {
    const size_t close = authority.find(']');
    if (close == std::string_view::npos) return false;
    name->host = std::string(authority.substr(1, close - 1));
    *rest = authority.substr(close + 1);
    return true;
  }
  const size_t colon = authority.find(':');
  name->host = std::string(authority.substr(0, colon));
  *rest = colon == std::string_view::npos ? std::string_view() : authority.substr(colon);
  return true;
}

// What ssh would misread: an empty host, or a word that begins like an option.
std::string CheckNames(const FarName& name) {
  if (name.host.empty()) return "Der Rechnername fehlt.";
  if (name.host.front() == '-' || (!name.user.empty() && name.user.front() == '-'))
    return "Ein Rechner- oder Benutzername darf nicht mit \"-\" beginnen.";
  if (!name.user.empty() && name.user.find_first_of(" \t\n") != std::string::npos)
    return "Der Benutzername enthält Leerzeichen.";
  if (name.host.find_first_of(" \t\n/@") != std::string::npos)
    return "Der Rechnername enthält unerlaubte Zeichen.";
  return {};
}

FarNameParse ParseUrl(std::string_view text) {
  std::string_view rest = text.substr(kScheme.size());
  const size_t slash = rest.find('/');
  if (slash == std::string_view::npos) return Refused(text, "Der Pfad fehlt.");
  FarNameParse parse;
  parse.kind = FarNameKind::kFar;
  parse.name.as_given = std::string(text);
  parse.name.path = std::string(rest.substr(slash));
  std::string_view after_host;
  if (!SplitAuthority(rest.substr(0, slash), &parse.name, &after_host))
    return Refused(text, "Die Klammer um die Adresse schließt nicht.");
  if (!after_host.empty()) {
    if (after_host.front() != ':') return Refused(text, "Der Rechnername ist unvollständig.");
    const std::string_view digits = after_host.substr(1);
    int port = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), port);
    if (digits.empty() || error != std::errc() || end != digits.data() + digits.size() ||
        port < 1 || port > 65535)
      return Refused(text, "Die Portnummer ist ungültig.");
    parse.name.port = port;
  }
  std::string why = CheckNames(parse.name);
  if (!why.empty()) return Refused(text, std::move(why));
  return parse;
}

}  // namespace

FarNameParse ParseControlFileFolderName(std::string_view text) {
  if (text.substr(0, kScheme.size()) != kScheme) return {};
  return ParseUrl(text);
}

FarNameParse ParseFolderName(std::string_view text) {
  if (text.substr(0, kScheme.size()) == kScheme) return ParseUrl(text);
  // scp's rule: a colon before any slash names a host. A bracketed address holds colons of
  // its own, so its closing bracket counts as the start.
  const size_t bracket = text.find("[");
  const size_t close = bracket == std::string_view::npos ? bracket : text.find(']', bracket);
  const size_t slash = text.find('/');
  const bool bracketed =
      close != std::string_view::npos && (slash == std::string_view::npos || bracket < slash);
  const size_t colon = text.find(':', bracketed ? close : 0);
  if (colon == std::string_view::npos || colon == 0) return {};
  if (slash != std::string_view::npos && slash < colon) return {};
  FarNameParse parse;
  parse.kind = FarNameKind::kFar;
  parse.name.as_given = std::string(text);
  parse.name.path = std::string(text.substr(colon + 1));
  std::string_view after_host;
  if (!SplitAuthority(text.substr(0, colon), &parse.name, &after_host) || !after_host.empty())
    return Refused(text, "Der Rechnername ist unvollständig.");
  std::string why = CheckNames(parse.name);
  if (!why.empty()) return Refused(text, std::move(why));
  return parse;
}

}  // namespace tavrik

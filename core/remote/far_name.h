// Names of folders on another machine: "[user@]host:path" as scp writes it, and
// "ssh://[user@]host[:port]/path". A control file takes only the second form, so that its
// Windows-style names ("D:\Daten") stay local.
#pragma once

#include <string>
#include <string_view>

namespace tavrik {

struct FarName {
  std::string user;  // empty: ssh's own choice
  std::string host;  // without brackets for an IPv6 address
  int port = 0;      // 0: ssh's own choice
  std::string path;  // as the far end is to open it; empty: the far user's home
  std::string as_given;
};

enum class FarNameKind { kLocal, kFar, kRefused };

struct FarNameParse {
  FarNameKind kind = FarNameKind::kLocal;
  FarName name;     // kFar only
  std::string why;  // kRefused only: what is wrong with it, in German
};

// A folder named on a command line: either form.
FarNameParse ParseFolderName(std::string_view text);
// A folder named in a control file: only "ssh://".
FarNameParse ParseControlFileFolderName(std::string_view text);

}  // namespace tavrik

// The recursive folder scan that collects every file below a folder into the file table.
#pragma once

#include <string>

#include "core/list/shared_state.h"

namespace tavrik {

class ScanAhead;

// The message shown when an entry or a folder cannot be read.
std::string AccessErrorText(int error_number, const std::string& path);

// Appends the full path of every file below folder to ctx.state.file_table: the files of
// a folder in listing order, then the contents of its subfolders, last found first.
// Names beginning with "." are skipped. Symbolic links are not followed into folders: a
// link to a regular file counts as that file, links to folders and dangling links are left
// out, and so are FIFOs, sockets and devices. Entries or folders that cannot be read are
// reported with the access-error message and left out; the scan goes on. Yields once
// after listing each folder. With ahead (listings of this folder's tree made while another
// fill ran), the listings are taken from there, and ahead is stopped at the end.
void ScanFolder(Context& ctx, const std::string& folder, ScanAhead* ahead = nullptr);

}  // namespace tavrik

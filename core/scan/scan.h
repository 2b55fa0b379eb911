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
// Names beginning with "." are skipped. A symbolic link is listed as an entry of its own
// and never followed, unless ctx.state.follow_links: then it is read as what it leads to
// (see ListFolder). FIFOs, sockets and devices are left out, each noted in the file
// table's left-out entries with why. Entries or folders that cannot be read are
// reported with the access-error message and left out; the scan goes on. Yields once
// after listing each folder. With ahead (listings of this folder's tree made while another
// fill ran), the listings are taken from there, and ahead is stopped at the end. fs is the
// file system of the root being filled.
void ScanFolder(Context& ctx, FileSystem& fs, const std::string& folder,
                ScanAhead* ahead = nullptr);

}  // namespace tavrik

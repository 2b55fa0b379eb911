// German texts for the reasons behind failed file operations, so that a message box can say
// why in the user's language whatever locale the machine has.
#pragma once

#include <string>

#include "core/fs/fs_error.h"

namespace tavrik {

// The system's error text for an errno, in German; a generic sentence naming the number for
// errnos without a text of their own.
std::string GermanErrorText(int code);

// The sentence that says why a call failed: the error's own sentence where it has one,
// else the German text of its errno.
std::string ReasonText(const FsError& error);

}  // namespace tavrik

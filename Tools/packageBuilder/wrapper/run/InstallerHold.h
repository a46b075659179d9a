#pragma once

#include "platform/Files.h"

namespace wrapper::run {

// Opens the extracted installer at `path` again, for reading, before it is started, so that
// from then on others can only read it: no writing, deleting or renaming while the handle is
// held, which the caller does until the installer has ended. The handle that wrote the copy
// cannot stay open instead (a file open for writing cannot be started), and between its
// close and this open another program of the user can still delete or rename the file
// through its rights on its own temporary folder. So the file opened must be the one this
// run wrote: `written` is the identity taken from the handle that created it.
//
// Returns the open handle, which the caller then owns, when it is that file. Returns no
// handle, having closed what it opened, when the path names another file, or no file, or
// one that cannot be opened or identified: such a file is not known to be ours, so it must
// be neither started nor deleted.
platform::FileHandle HoldExtractedInstaller(platform::Files& files, const char16_t* path,
                                            const platform::FileIdentity& written);

}  // namespace wrapper::run

#pragma once

// The launcher wrapper-pack packs when --launcher is not given: the one installed with the
// tools (<prefix>/bin/wrapper-pack beside <prefix>/share/wrapper/wrapper.exe), and, for a
// tool that runs where it was built, the launcher of that build.

#include "tools/host/Expected.h"

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace wrapper::tools::pack {

// Where to look, in order, for a tool whose own file is `tool`. `buildFolder` is the folder
// the tool was built in and `buildLauncher` the launcher of that build: looked at only when
// the tool still runs from that folder, so that an installed tool never picks up a build.
std::vector<std::filesystem::path> LauncherCandidates(const std::filesystem::path& tool,
                                                      const std::filesystem::path& buildFolder,
                                                      const std::filesystem::path& buildLauncher);

// The first candidate that is a regular file; the failure says where the tool looked.
host::Expected<std::filesystem::path> FindDefaultLauncher(
    const std::vector<std::filesystem::path>& candidates);

}  // namespace wrapper::tools::pack

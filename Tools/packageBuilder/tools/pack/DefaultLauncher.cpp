#include "tools/pack/DefaultLauncher.h"

#include "tools/host/ToolFiles.h"

namespace wrapper::tools::pack {

namespace fs = std::filesystem;

std::vector<fs::path> LauncherCandidates(const fs::path& tool, const fs::path& buildFolder,
                                         const fs::path& buildLauncher) {
    if (tool.empty()) return {};
    const fs::path folder = tool.parent_path();
    std::vector<fs::path> candidates = {
        (folder / ".." / "share" / "wrapper" / "wrapper.exe").lexically_normal()};
    std::error_code error;
    if (!buildFolder.empty() && !buildLauncher.empty() &&
        fs::equivalent(folder, buildFolder, error)) {
        candidates.push_back(buildLauncher);
    }
    return candidates;
}

host::Expected<fs::path> FindDefaultLauncher(const std::vector<fs::path>& candidates) {
    std::string looked;
    for (const fs::path& candidate : candidates) {
        std::error_code error;
        if (fs::is_regular_file(candidate, error)) return candidate;
        looked += (looked.empty() ? "" : " or ") + host::PathText(candidate);
    }
    return host::Unexpected{"no --launcher given, and no launcher installed with the tools" +
                            (looked.empty() ? std::string() : " (no file " + looked + ")") +
                            "; name the launcher with --launcher FILE"};
}

}  // namespace wrapper::tools::pack

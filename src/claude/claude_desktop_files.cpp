#include "claude/claude_desktop_files.hpp"

#include <sys/stat.h>


namespace vigilorb::claude::desktop {

namespace fs = std::filesystem;

std::optional<fs::path> claudeDesktopFolder(const paths::Environment& env) {
    auto config = paths::configHome(env);
    if (!config) return std::nullopt;
    return *config / "Claude";
}

std::optional<fs::path> usageHistoryFile(const paths::Environment& env) {
    auto folder = claudeDesktopFolder(env);
    if (!folder) return std::nullopt;
    return *folder / "plan-usage-history.json";
}

std::optional<fs::path> coworkLibraryRoot(const paths::Environment& env) {
    auto folder = claudeDesktopFolder(env);
    if (!folder) return std::nullopt;
    return *folder / "local-agent-mode-sessions";
}

FileStamp stampOf(const fs::path& path) {
    // One stat call: this runs for every session on every scan.
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return FileStamp::absent();
    return stampOf(info);
}

FileStamp stampOf(const struct stat& info) {
    using namespace std::chrono;
    return FileStamp{seconds(info.st_mtim.tv_sec) + nanoseconds(info.st_mtim.tv_nsec),
                     S_ISREG(info.st_mode) ? static_cast<std::uintmax_t>(info.st_size) : 0};
}

}  // namespace vigilorb::claude::desktop

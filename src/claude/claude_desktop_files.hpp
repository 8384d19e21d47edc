#pragma once
#include <sys/stat.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "model/paths.hpp"

// Where Claude Desktop keeps the files we read. Claude Desktop writes them while we read them,
// so they are read only through the bounded readers of model/files.hpp (files::read,
// files::readTail), which refuse anything that is not a regular file and never read more than
// they were asked to.
namespace vigilorb::claude::desktop {

// Claude Desktop's own folder: $XDG_CONFIG_HOME/Claude, else ~/.config/Claude.
std::optional<std::filesystem::path> claudeDesktopFolder(const paths::Environment& env = paths::processEnvironment());
std::optional<std::filesystem::path> usageHistoryFile(const paths::Environment& env = paths::processEnvironment());
std::optional<std::filesystem::path> coworkLibraryRoot(const paths::Environment& env = paths::processEnvironment());

// Modification time and size of a file. Two stamps are equal only when both are; the size
// catches an append that lands within the same timestamp tick as the previous write.
struct FileStamp {
    // Modification time since 1970, at the file system's full precision.
    std::chrono::nanoseconds modifiedAt = std::chrono::nanoseconds::min();
    std::uintmax_t size = 0;

    // Stands in for a file that is missing or cannot be examined ("the distant past").
    static FileStamp absent() { return {}; }
    bool operator==(const FileStamp&) const = default;
};

// Stamp of whatever the path points at (symbolic links followed); absent() when it cannot be read.
FileStamp stampOf(const std::filesystem::path& path);
FileStamp stampOf(const struct stat& info);

}  // namespace vigilorb::claude::desktop

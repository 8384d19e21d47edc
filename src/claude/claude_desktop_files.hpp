#pragma once
#include <sys/stat.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "model/paths.hpp"

// Where Claude Desktop keeps the files we read, and the bounded readers used on them.
// Claude Desktop writes these files while we read them, so every reader is defensive: it
// refuses anything that is not a regular file (a FIFO would block, a device never ends) and
// never reads more than it was asked to.
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

enum class ReadOutcome { ok, notFound, unreadable, tooLarge };

struct ReadResult {
    ReadOutcome outcome = ReadOutcome::unreadable;
    std::string bytes;
};

// Reads a whole regular file of at most `limit` bytes.
ReadResult readWhole(const std::filesystem::path& path, std::uintmax_t limit);

// Reads the last `window` bytes of a regular file (all of it when shorter).
ReadResult readTail(const std::filesystem::path& path, std::uintmax_t window);

}  // namespace vigilorb::claude::desktop

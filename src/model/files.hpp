#pragma once
#include <sys/types.h>

#include <cstddef>
#include <expected>
#include <filesystem>
#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "model/date.hpp"
#include "model/error.hpp"

namespace vigilorb::files {

// An open file descriptor, closed when it goes out of scope; -1 holds nothing.
class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor();
    FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.release()) {}
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    FileDescriptor& operator=(FileDescriptor&&) = delete;
    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }

private:
    int fd_;
};

enum class FileError { notFound, readFailed, folderCreationFailed, writeFailed, permissionsFailed };
using FileFailure = Error<FileError>;

inline constexpr std::size_t noLimit = std::numeric_limits<std::size_t>::max();

// A whole regular file of at most `maxBytes`. Safe on files that anyone may have put in place
// or that another program writes while we read: opening never blocks (a FIFO would wait for a
// writer forever), anything but a regular file is refused, and reading stops past the limit (a
// huge or growing file would exhaust memory). notFound when nothing is there (also for a path
// through a non-folder), else readFailed; the detail names the path and the reason.
[[nodiscard]] std::expected<std::string, FileFailure> read(const std::filesystem::path& path,
                                                           std::size_t maxBytes = noLimit);

// The last `window` bytes of a regular file (all of it when shorter), with the same refusals.
[[nodiscard]] std::expected<std::string, FileFailure> readTail(const std::filesystem::path& path,
                                                               std::size_t window);

// Writes bytes so that a reader (or a crash) sees either the old file or the new one, never a
// mix: a temporary file in the same folder, flushed, renamed over the target, folder flushed.
// With `mode`, the file has those permissions before it becomes visible under its name.
// Fails with writeFailed; the previous file is then untouched.
// `durable`: flushed to the disk before and after the rename (survives a power loss). Files
// that only hand data to another process (inbox events) skip the flushes: they cost several
// milliseconds, and a reader still never sees a partial file.
enum class Durability { durable, visibleOnly };
[[nodiscard]] std::expected<void, FileFailure> writeAtomically(const std::filesystem::path& path, std::string_view bytes,
                                                               std::optional<mode_t> mode = std::nullopt,
                                                               Durability durability = Durability::durable);

// A process killed between writing and renaming leaves writeAtomically()'s temporary file
// behind for good. These find and delete such files.
//
// The target a temporary of writeAtomically() was written for (".<target>.<UUID>.tmp"), or
// nothing when the name is not such a temporary.
std::optional<std::string_view> temporaryTarget(std::string_view fileName);
// How long a temporary may be left unchanged before it counts as abandoned: far longer than any
// write takes, so a write under way is never disturbed.
inline constexpr double staleTemporaryAge = 300;
// Deletes `path` when it is a regular file (not followed through a link) last modified before
// `before`; true when it was deleted.
bool removeIfStale(const std::filesystem::path& path, Date before);
// Deletes the temporaries in `folder` whose target `ofTarget` accepts and that are stale by
// removeIfStale(); returns how many.
std::size_t removeStaleTemporaries(const std::filesystem::path& folder,
                                   const std::function<bool(std::string_view target)>& ofTarget, Date before);

// Creates the folder and its parents; fails with folderCreationFailed.
[[nodiscard]] std::expected<void, FileFailure> createFolders(const std::filesystem::path& folder);

}  // namespace vigilorb::files

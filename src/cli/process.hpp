#pragma once
#include <expected>
#include <filesystem>
#include <optional>

#include "model/files.hpp"

namespace vigilorb::cli {

// This program's own executable (resolved through /proc/self/exe), as the Claude connector
// writes it into the commands Claude Code runs; absent when it cannot be found.
std::optional<std::filesystem::path> currentExecutable();

// The executable named by the /proc/self/exe link target `target`. Once the running file has
// been replaced (an upgrade installs a new one at the same path), the kernel names it
// "<path> (deleted)": the path without that suffix is used when a file is there again, so the
// commands written for Claude Code keep working; absent when no file is left at all.
std::optional<std::filesystem::path> executableFromLink(const std::filesystem::path& target);

enum class InstanceLockError { alreadyRunning, unavailable };

// Only one app role per user may run: two runtimes draining the same inboxes into the same
// snapshot file would race and lose events. The lock is an flock on a file beside the
// snapshot, held as long as this object lives and released by the kernel when the process
// ends, however it ends. The descriptor is close-on-exec so child processes do not keep it.
class InstanceLock {
public:
    // The lock on `file`, or alreadyRunning when another process holds it, unavailable when
    // the lock file cannot be created or locked.
    [[nodiscard]] static std::expected<InstanceLock, InstanceLockError> acquire(const std::filesystem::path& file);

private:
    explicit InstanceLock(files::FileDescriptor fd) : fd_(std::move(fd)) {}
    files::FileDescriptor fd_;
};

}  // namespace vigilorb::cli

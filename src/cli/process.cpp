#include "cli/process.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <string_view>
#include <system_error>

#include "model/files.hpp"

namespace vigilorb::cli {

std::optional<std::filesystem::path> currentExecutable() {
    std::error_code ec;
    auto path = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec) return std::nullopt;
    return executableFromLink(path);
}

std::optional<std::filesystem::path> executableFromLink(const std::filesystem::path& target) {
    if (target.empty()) return std::nullopt;
    std::error_code ec;
    if (std::filesystem::exists(target, ec)) return target;
    constexpr std::string_view deleted = " (deleted)";
    const auto& text = target.native();
    if (text.size() > deleted.size() && text.ends_with(deleted)) {
        std::filesystem::path replaced = text.substr(0, text.size() - deleted.size());
        if (std::filesystem::exists(replaced, ec)) return replaced;
    }
    return std::nullopt;
}

std::expected<InstanceLock, InstanceLockError> InstanceLock::acquire(const std::filesystem::path& file) {
    if (!files::createFolders(file.parent_path())) return std::unexpected(InstanceLockError::unavailable);
    files::FileDescriptor fd(::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    if (fd.get() < 0) return std::unexpected(InstanceLockError::unavailable);
    int rc;
    do rc = ::flock(fd.get(), LOCK_EX | LOCK_NB);
    while (rc != 0 && errno == EINTR);
    if (rc != 0)
        return std::unexpected(errno == EWOULDBLOCK ? InstanceLockError::alreadyRunning : InstanceLockError::unavailable);
    return InstanceLock(std::move(fd));
}

}  // namespace vigilorb::cli

#include "runtime/cli/process.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>
#include <system_error>

#include "model/files.hpp"

namespace vigilorb::process {

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

InstanceLock::InstanceLock(const std::filesystem::path& file) {
    if (auto made = files::createFolders(file.parent_path()); !made)
        throw Failure<InstanceLockError>(InstanceLockError::unavailable, made.error().detail);
    fd_ = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd_ < 0) throw Failure<InstanceLockError>(InstanceLockError::unavailable, std::strerror(errno));
    int rc;
    do rc = ::flock(fd_, LOCK_EX | LOCK_NB);
    while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        int err = errno;
        ::close(fd_);
        fd_ = -1;
        throw Failure<InstanceLockError>(err == EWOULDBLOCK ? InstanceLockError::alreadyRunning
                                                            : InstanceLockError::unavailable,
                                         std::strerror(err));
    }
}

InstanceLock::~InstanceLock() {
    if (fd_ >= 0) ::close(fd_);
}

}  // namespace vigilorb::process

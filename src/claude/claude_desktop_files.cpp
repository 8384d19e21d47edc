#include "claude/claude_desktop_files.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

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

namespace {

class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

// Reads up to `count` bytes at `offset`; stops early at end of file (the file may shrink).
bool readAt(int fd, off_t offset, std::uintmax_t count, std::string& out) {
    out.resize(static_cast<std::size_t>(count));
    std::size_t done = 0;
    while (done < out.size()) {
        auto n = ::pread(fd, out.data() + done, out.size() - done, offset + static_cast<off_t>(done));
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) break;
        done += static_cast<std::size_t>(n);
    }
    out.resize(done);
    return true;
}

// Opens without blocking (a FIFO in place of a file must not hang the scan) and checks that
// what was opened is a regular file.
ReadOutcome openRegular(const fs::path& path, int& fd, struct stat& info) {
    fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return errno == ENOENT || errno == ENOTDIR ? ReadOutcome::notFound : ReadOutcome::unreadable;
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) return ReadOutcome::unreadable;
    return ReadOutcome::ok;
}

}  // namespace

ReadResult readWhole(const fs::path& path, std::uintmax_t limit) {
    int raw = -1;
    struct stat info {};
    auto opened = openRegular(path, raw, info);
    Descriptor fd(raw);
    if (opened != ReadOutcome::ok) return {opened, {}};
    auto size = static_cast<std::uintmax_t>(info.st_size);
    if (size > limit) return {ReadOutcome::tooLarge, {}};
    ReadResult result{ReadOutcome::ok, {}};
    // Read what fstat promised plus one byte, then keep going while the file grows (it is
    // being written), but never past the limit.
    std::uintmax_t want = size + 1;
    for (;;) {
        std::string chunk;
        if (!readAt(fd.get(), static_cast<off_t>(result.bytes.size()), want, chunk))
            return {ReadOutcome::unreadable, {}};
        bool more = chunk.size() == want;
        result.bytes += chunk;
        if (result.bytes.size() > limit) return {ReadOutcome::tooLarge, {}};
        if (!more) return result;
        want = std::min<std::uintmax_t>(64 * 1024, limit + 1 - result.bytes.size());
    }
}

ReadResult readTail(const fs::path& path, std::uintmax_t window) {
    int raw = -1;
    struct stat info {};
    auto opened = openRegular(path, raw, info);
    Descriptor fd(raw);
    if (opened != ReadOutcome::ok) return {opened, {}};
    auto size = static_cast<std::uintmax_t>(info.st_size);
    auto offset = size > window ? size - window : 0;
    ReadResult result{ReadOutcome::ok, {}};
    if (!readAt(fd.get(), static_cast<off_t>(offset), window, result.bytes)) return {ReadOutcome::unreadable, {}};
    return result;
}

}  // namespace vigilorb::claude::desktop

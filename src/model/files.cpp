#include "model/files.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>

#include "model/events.hpp"

namespace vigilorb::files {

FileDescriptor::~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
}

namespace fs = std::filesystem;

namespace {

std::unexpected<FileFailure> fail(FileError code, const fs::path& path, int err) {
    return std::unexpected(FileFailure{code, path.string() + ": " + std::strerror(err)});
}

std::unexpected<FileFailure> fail(FileError code, const fs::path& path, std::string_view why) {
    return std::unexpected(FileFailure{code, path.string() + ": " + std::string(why)});
}

bool writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        auto n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

// Opens a regular file for reading without blocking; a path through a non-folder names no file
// either. The size is what fstat saw at opening.
std::expected<FileDescriptor, FileFailure> openRegular(const fs::path& path, std::size_t& size) {
    FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    if (fd.get() < 0) return fail(errno == ENOENT || errno == ENOTDIR ? FileError::notFound : FileError::readFailed, path, errno);
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) return fail(FileError::readFailed, path, errno);
    if (!S_ISREG(st.st_mode)) return fail(FileError::readFailed, path, "not a regular file");
    size = static_cast<std::size_t>(std::max<off_t>(st.st_size, 0));
    return fd;
}

// Appends what the file holds from `offset` on, at most `count` bytes; stops at its end (the
// file may have shrunk since it was opened).
bool readAt(int fd, std::size_t offset, std::size_t count, std::string& out) {
    char buffer[65536];
    while (count > 0) {
        auto n = ::pread(fd, buffer, std::min(count, sizeof buffer), static_cast<off_t>(offset));
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) break;
        out.append(buffer, static_cast<std::size_t>(n));
        offset += static_cast<std::size_t>(n);
        count -= static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

std::expected<std::string, FileFailure> read(const fs::path& path, std::size_t maxBytes) {
    std::size_t size = 0;
    auto fd = openRegular(path, size);
    if (!fd) return std::unexpected(std::move(fd.error()));
    auto tooLarge = [&] { return fail(FileError::readFailed, path, "larger than " + std::to_string(maxBytes) + " bytes"); };
    if (size > maxBytes) return tooLarge();
    std::string out;
    out.reserve(size);
    // The file may be growing while it is read: keep going to its end, but one byte past the
    // limit is enough to refuse it.
    std::size_t want = maxBytes == noLimit ? noLimit : maxBytes + 1;
    if (!readAt(fd->get(), 0, want, out)) return fail(FileError::readFailed, path, errno);
    if (out.size() > maxBytes) return tooLarge();
    return out;
}

std::expected<std::string, FileFailure> readTail(const fs::path& path, std::size_t window) {
    std::size_t size = 0;
    auto fd = openRegular(path, size);
    if (!fd) return std::unexpected(std::move(fd.error()));
    std::string out;
    out.reserve(std::min(size, window));
    if (!readAt(fd->get(), size > window ? size - window : 0, window, out)) return fail(FileError::readFailed, path, errno);
    return out;
}

std::expected<void, FileFailure> writeAtomically(const fs::path& path, std::string_view bytes, std::optional<mode_t> mode,
                                                Durability durability) {
    auto folder = path.parent_path();
    if (folder.empty()) folder = ".";
    auto temp = folder / ("." + path.filename().string() + "." + makeUUID() + ".tmp");
    FileDescriptor fd(::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode.value_or(0644)));
    if (fd.get() < 0) return fail(FileError::writeFailed, temp, errno);
    auto discard = [&](int err) {
        ::unlink(temp.c_str());
        return fail(FileError::writeFailed, path, err);
    };
    // The umask may have narrowed or the caller may want exact bits; set them explicitly.
    if (mode && ::fchmod(fd.get(), *mode) != 0) return discard(errno);
    if (!writeAll(fd.get(), bytes)) return discard(errno);
    if (durability == Durability::durable && ::fsync(fd.get()) != 0) return discard(errno);
    if (::close(fd.release()) != 0) return discard(errno);
    if (::rename(temp.c_str(), path.c_str()) != 0) return discard(errno);
    if (durability != Durability::durable) return {};
    // Make the rename itself durable; a failure here cannot undo it, so it is not reported.
    FileDescriptor dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() >= 0) ::fsync(dir.get());
    return {};
}

std::optional<std::string_view> temporaryTarget(std::string_view name) {
    // "." + target + "." + 36-character UUID + ".tmp", as writeAtomically() names them.
    constexpr std::string_view suffix = ".tmp";
    constexpr std::size_t uuidLength = 36;
    if (name.size() < 1 + 1 + 1 + uuidLength + suffix.size() || name.front() != '.' || !name.ends_with(suffix))
        return std::nullopt;
    auto uuid = name.substr(name.size() - suffix.size() - uuidLength, uuidLength);
    for (std::size_t i = 0; i < uuid.size(); ++i) {
        bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        char c = uuid[i];
        if (dash ? c != '-' : !((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return std::nullopt;
    }
    auto rest = name.substr(1, name.size() - 1 - suffix.size() - uuidLength);  // "<target>."
    if (rest.size() < 2 || rest.back() != '.') return std::nullopt;
    return rest.substr(0, rest.size() - 1);
}

bool removeIfStale(const fs::path& path, Date before) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    double modified = static_cast<double>(st.st_mtim.tv_sec) + static_cast<double>(st.st_mtim.tv_nsec) / 1e9;
    if (modified >= before.unix()) return false;
    return ::unlink(path.c_str()) == 0;
}

std::size_t removeStaleTemporaries(const fs::path& folder, const std::function<bool(std::string_view)>& ofTarget,
                                   Date before) {
    std::size_t removed = 0;
    std::error_code ec;
    fs::directory_iterator it(folder, ec);
    if (ec) return 0;
    for (; it != fs::directory_iterator(); it.increment(ec)) {
        if (ec) break;
        auto name = it->path().filename().string();
        auto target = temporaryTarget(name);
        if (target && ofTarget(*target) && removeIfStale(it->path(), before)) ++removed;
    }
    return removed;
}

std::expected<void, FileFailure> createFolders(const fs::path& folder) {
    std::error_code ec;
    fs::create_directories(folder, ec);
    if (ec) return fail(FileError::folderCreationFailed, folder, ec.message());
    if (!fs::is_directory(folder, ec)) return fail(FileError::folderCreationFailed, folder, "not a folder");
    return {};
}

}  // namespace vigilorb::files

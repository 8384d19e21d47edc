#include "codex/session_index.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "codex/task_title.hpp"
#include "model/files.hpp"
#include "model/json.hpp"
#include "model/records.hpp"

namespace vigilorb::codex {

SessionIndexNames CodexSessionIndexNameParser::parse(std::string_view bytes) {
    std::map<std::string, Candidate> kept;
    long lineNumber = -1;
    std::size_t pos = 0;
    while (pos < bytes.size()) {
        auto nl = bytes.find('\n', pos);
        auto line = bytes.substr(pos, nl == std::string_view::npos ? std::string_view::npos : nl - pos);
        pos = nl == std::string_view::npos ? bytes.size() : nl + 1;
        if (line.empty()) continue;
        ++lineNumber;
        auto parsed = json::parse(line);
        if (!parsed || !parsed->is_object() || parsed->empty()) continue;
        const Json& record = *parsed;
        auto id = record.find("id");
        auto name = record.find("thread_name");
        auto updated = record.find("updated_at");
        if (id == record.end() || !id->is_string() || id->get_ref<const std::string&>().empty()) continue;
        if (name == record.end() || !name->is_string() || updated == record.end() || !updated->is_string()) continue;
        auto title = normalizedTitle(name->get<std::string>());
        if (!title) continue;
        auto at = parseInternetDateTime(updated->get_ref<const std::string&>());
        if (!at) continue;
        auto [it, inserted] = kept.try_emplace(id->get<std::string>(), Candidate{*title, *at, lineNumber});
        if (!inserted && !(it->second.updatedAt > *at)) it->second = Candidate{*title, *at, lineNumber};
    }
    SessionIndexNames names;
    for (auto& [id, c] : kept) names.emplace(id, std::move(c.name));
    return names;
}

namespace {

SessionIndexNames loadFrom(int fd) {
    auto end = ::lseek(fd, 0, SEEK_END);
    if (end < 0) return {};
    auto size = static_cast<std::uint64_t>(end);
    // A failed seek is ignored: reading then starts wherever the file position is.
    (void)::lseek(fd, size >= sessionIndexReadLimit ? static_cast<off_t>(size - sessionIndexReadLimit) : 0, SEEK_SET);
    std::string bytes;
    char chunk[1 << 16];
    for (;;) {
        auto got = ::read(fd, chunk, sizeof chunk);
        if (got < 0) {
            if (errno == EINTR) continue;
            return {};
        }
        if (got == 0) break;
        bytes.append(chunk, static_cast<std::size_t>(got));
    }
    if (bytes.empty()) return {};
    std::string_view view = bytes;
    if (size > sessionIndexReadLimit) {
        auto nl = view.find('\n');
        if (nl != std::string_view::npos) view.remove_prefix(nl + 1);
    }
    return CodexSessionIndexNameParser::parse(view);
}

}  // namespace

SessionIndexNames loadSessionIndexNames(const std::filesystem::path& codexHome) {
    files::FileDescriptor f{::open((codexHome / "session_index.jsonl").c_str(), O_RDONLY | O_CLOEXEC)};
    if (f.get() < 0) return {};
    return loadFrom(f.get());
}

const SessionIndexNames& SessionIndexCache::load(const std::filesystem::path& codexHome) {
    files::FileDescriptor f{::open((codexHome / "session_index.jsonl").c_str(), O_RDONLY | O_CLOEXEC)};
    struct stat st{};
    if (f.get() < 0 || ::fstat(f.get(), &st) != 0) {
        stamp_.reset();
        names_.clear();
        return names_;
    }
    Stamp stamp{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino),
                static_cast<std::uint64_t>(st.st_size), static_cast<std::int64_t>(st.st_mtim.tv_sec),
                static_cast<std::int64_t>(st.st_mtim.tv_nsec), static_cast<std::int64_t>(st.st_ctim.tv_sec),
                static_cast<std::int64_t>(st.st_ctim.tv_nsec)};
    if (stamp_ && *stamp_ == stamp && home_ == codexHome) return names_;
    ++reads_;
    names_ = loadFrom(f.get());
    home_ = codexHome;
    // A file that changes while it is read is read again next time.
    struct stat after{};
    if (::fstat(f.get(), &after) == 0 && after.st_size == st.st_size && after.st_mtim.tv_sec == st.st_mtim.tv_sec &&
        after.st_mtim.tv_nsec == st.st_mtim.tv_nsec)
        stamp_ = stamp;
    else
        stamp_.reset();
    return names_;
}

}  // namespace vigilorb::codex

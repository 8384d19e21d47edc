#include "codex/rollout_scanner.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cstring>

#include "codex/common.hpp"
#include "model/json.hpp"

namespace vigilorb::codex {

namespace {

constexpr std::string_view eventMarker = "event_msg";

// Lifecycle payload types. Codex writes these names (and "event_msg") as plain JSON text, so a
// line that does not contain one of them verbatim cannot update the lifecycle and is skipped
// without being parsed; that is what keeps scanning close to the speed of reading.
struct Kind {
    std::string_view name;
    std::optional<Date> CodexRolloutLifecycleState::*field;
};
constexpr std::array<Kind, 9> kinds{{
    {"task_started", &CodexRolloutLifecycleState::lastStartedAt},
    {"task_complete", &CodexRolloutLifecycleState::lastCompletedAt},
    {"task_failed", &CodexRolloutLifecycleState::lastFailedAt},
    {"turn_aborted", &CodexRolloutLifecycleState::lastCancelledAt},
    {"exec_approval_request", &CodexRolloutLifecycleState::lastApprovalAt},
    {"apply_patch_approval_request", &CodexRolloutLifecycleState::lastApprovalAt},
    {"permissions_request", &CodexRolloutLifecycleState::lastApprovalAt},
    {"request_user_input", &CodexRolloutLifecycleState::lastUserInputAt},
    {"elicitation_request", &CodexRolloutLifecycleState::lastUserInputAt},
}};

bool contains(std::string_view haystack, std::string_view needle) {
    return ::memmem(haystack.data(), haystack.size(), needle.data(), needle.size()) != nullptr;
}

bool mentionsLifecycle(std::string_view line) {
    for (const auto& k : kinds)
        if (contains(line, k.name)) return true;
    return false;
}

void processLine(CodexRolloutLifecycleState& state, std::string_view line, Date fallbackDate) {
    if (line.empty() || !contains(line, eventMarker) || !mentionsLifecycle(line)) return;
    Json record = Json::parse(line.begin(), line.end(), nullptr, false);
    if (!record.is_object()) return;
    auto type = record.find("type");
    if (type == record.end() || !type->is_string() || type->get_ref<const std::string&>() != eventMarker) return;
    auto payload = record.find("payload");
    if (payload == record.end() || !payload->is_object()) return;
    auto ptype = payload->find("type");
    if (ptype == payload->end() || !ptype->is_string()) return;
    const auto& name = ptype->get_ref<const std::string&>();
    for (const auto& k : kinds) {
        if (name != k.name) continue;
        Date at = fallbackDate;
        if (auto ts = record.find("timestamp"); ts != record.end() && ts->is_string())
            at = parseInternetDateTime(ts->get_ref<const std::string&>()).value_or(fallbackDate);
        auto& slot = state.*k.field;
        if (!slot || *slot <= at) slot = at;
        return;
    }
}

// Appends part of a line, enforcing the line limit.
void appendPartial(CodexRolloutLifecycleCursor& c, std::string_view bytes) {
    if (c.isDiscardingOversizedLine || bytes.empty()) return;
    if (c.bufferedLine.size() + bytes.size() > rolloutMaxLine) {
        c.bufferedLine.clear();
        c.bufferedLine.shrink_to_fit();
        c.isDiscardingOversizedLine = true;
        return;
    }
    c.bufferedLine.append(bytes);
}

void finishBufferedLine(CodexRolloutLifecycleCursor& c, Date fallbackDate) {
    if (!c.isDiscardingOversizedLine && !c.bufferedLine.empty()) processLine(c.lifecycle, c.bufferedLine, fallbackDate);
    c.bufferedLine.clear();
    c.isDiscardingOversizedLine = false;
}

class File {
public:
    explicit File(const std::filesystem::path& p) : fd_(::open(p.c_str(), O_RDONLY | O_CLOEXEC)) {
        if (fd_ < 0) throw Failure<RolloutReadError>(RolloutReadError::openFailed, p.string());
    }
    ~File() { ::close(fd_); }
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    std::uint64_t size() const {
        auto end = ::lseek(fd_, 0, SEEK_END);
        if (end < 0) throw Failure<RolloutReadError>(RolloutReadError::seekFailed);
        return static_cast<std::uint64_t>(end);
    }
    void seek(std::uint64_t offset) const {
        if (::lseek(fd_, static_cast<off_t>(offset), SEEK_SET) < 0) throw Failure<RolloutReadError>(RolloutReadError::seekFailed);
    }
    // Up to n bytes; 0 at end of file.
    std::size_t read(char* into, std::size_t n) const {
        for (;;) {
            auto got = ::read(fd_, into, n);
            if (got >= 0) return static_cast<std::size_t>(got);
            if (errno != EINTR) throw Failure<RolloutReadError>(RolloutReadError::readFailed);
        }
    }

private:
    int fd_;
};

// The last `window` bytes of the file, which must all be there.
std::optional<CodexRolloutLifecycleCursor> tryTail(const File& file, std::uint64_t size, std::uint64_t window,
                                                   Date fallbackDate, std::string& buffer) {
    std::uint64_t start = size - window;
    file.seek(start);
    CodexRolloutLifecycleCursor cursor;
    cursor.isDiscardingOversizedLine = start > 0;  // the window's first line is cut
    std::uint64_t left = window;
    buffer.resize(rolloutReadChunk);
    while (left > 0) {
        auto want = static_cast<std::size_t>(std::min<std::uint64_t>(left, rolloutReadChunk));
        auto got = file.read(buffer.data(), want);
        if (got == 0) throw Failure<RolloutReadError>(RolloutReadError::readFailed, "short read");
        feedRolloutBytes(cursor, std::string_view(buffer.data(), got), fallbackDate);
        left -= got;
    }
    const auto& l = cursor.lifecycle;
    if (l.lastStartedAt || l.lastCompletedAt || l.lastFailedAt || l.lastCancelledAt || start == 0) {
        cursor.byteOffset = size;
        return cursor;
    }
    return std::nullopt;
}

// Widens the tail window from 512 KiB up to 32 MiB until a task lifecycle event shows up; none
// when even 32 MiB of a larger file hold none (the caller then reads everything).
std::optional<CodexRolloutLifecycleCursor> bootstrap(const File& file, std::uint64_t size, Date fallbackDate,
                                                     std::string& buffer) {
    if (size == 0) return CodexRolloutLifecycleCursor{};
    std::uint64_t window = std::min<std::uint64_t>(size, rolloutReadChunk);
    for (;;) {
        if (auto cursor = tryTail(file, size, window, fallbackDate, buffer)) return cursor;
        if (size <= rolloutMaxTailWindow) {
            window = std::min<std::uint64_t>(window * 2, size);
        } else {
            if (window >= rolloutMaxTailWindow) return std::nullopt;
            window = std::min<std::uint64_t>(window * 2, rolloutMaxTailWindow);
        }
    }
}

}  // namespace

void feedRolloutBytes(CodexRolloutLifecycleCursor& c, std::string_view bytes, Date fallbackDate) {
    const char* p = bytes.data();
    const char* end = p + bytes.size();
    // Finish a line carried over from an earlier block.
    if (!c.bufferedLine.empty() || c.isDiscardingOversizedLine) {
        auto* nl = static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
        if (!nl) {
            appendPartial(c, std::string_view(p, static_cast<std::size_t>(end - p)));
            return;
        }
        appendPartial(c, std::string_view(p, static_cast<std::size_t>(nl - p)));
        finishBufferedLine(c, fallbackDate);
        p = nl + 1;
    }
    // Whole lines: only those that mention "event_msg" are looked at.
    const char* lastNL = static_cast<const char*>(::memrchr(p, '\n', static_cast<std::size_t>(end - p)));
    if (lastNL) {
        const char* at = p;
        while (at < lastNL) {
            auto* hit = static_cast<const char*>(
                ::memmem(at, static_cast<std::size_t>(lastNL - at), eventMarker.data(), eventMarker.size()));
            if (!hit) break;
            auto* lineStart = static_cast<const char*>(::memrchr(at, '\n', static_cast<std::size_t>(hit - at)));
            lineStart = lineStart ? lineStart + 1 : at;
            auto* lineEnd = static_cast<const char*>(std::memchr(hit, '\n', static_cast<std::size_t>(lastNL + 1 - hit)));
            auto length = static_cast<std::size_t>(lineEnd - lineStart);
            if (length <= rolloutMaxLine) processLine(c.lifecycle, std::string_view(lineStart, length), fallbackDate);
            at = lineEnd + 1;
        }
        p = lastNL + 1;
    }
    appendPartial(c, std::string_view(p, static_cast<std::size_t>(end - p)));
}

std::optional<CodexLocalActivityRecord> makeActivity(const std::string& threadID, Date fallbackDate,
                                                     const CodexRolloutLifecycleCursor& cursor) {
    const auto& l = cursor.lifecycle;
    std::optional<Date> latest;
    for (const auto& d : {l.lastStartedAt, l.lastCompletedAt, l.lastFailedAt, l.lastCancelledAt, l.lastApprovalAt,
                          l.lastUserInputAt})
        if (d && (!latest || *d > *latest)) latest = d;
    if (!latest) return std::nullopt;
    CodexLocalActivityRecord r;
    r.threadID = threadID;
    r.lastActivityAt = std::max(*latest, fallbackDate);
    r.lastApprovalRequestAt = l.lastApprovalAt;
    r.lastUserInputRequestAt = l.lastUserInputAt;
    r.lastTaskStartedAt = l.lastStartedAt;
    r.lastTaskCompletedAt = l.lastCompletedAt;
    r.lastTaskFailedAt = l.lastFailedAt;
    r.lastTaskCancelledAt = l.lastCancelledAt;
    return r;
}

CodexRolloutLifecycleScanResult scanRollout(const std::filesystem::path& path, const std::string& threadID,
                                            Date fallbackDate,
                                            const std::optional<CodexRolloutLifecycleCursor>& previous) {
    File file(path);
    auto size = file.size();
    std::string buffer;
    CodexRolloutLifecycleCursor cursor;
    if (previous && previous->byteOffset <= size) {
        cursor = *previous;
    } else if (auto boot = bootstrap(file, size, fallbackDate, buffer)) {
        cursor = std::move(*boot);
    }
    if (cursor.byteOffset < size) {
        file.seek(cursor.byteOffset);
        buffer.resize(rolloutReadChunk);
        while (cursor.byteOffset < size) {
            auto want = static_cast<std::size_t>(std::min<std::uint64_t>(size - cursor.byteOffset, rolloutReadChunk));
            auto got = file.read(buffer.data(), want);
            if (got == 0) break;
            cursor.byteOffset += got;
            feedRolloutBytes(cursor, std::string_view(buffer.data(), got), fallbackDate);
        }
    }
    return {makeActivity(threadID, fallbackDate, cursor), std::move(cursor)};
}

}  // namespace vigilorb::codex

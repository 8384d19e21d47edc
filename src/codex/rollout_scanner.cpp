#include "codex/rollout_scanner.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <utility>

#include "codex/task_title.hpp"
#include "model/json.hpp"

namespace vigilorb::codex {

namespace {

constexpr std::string_view eventMarker = "event_msg";
constexpr std::string_view asciiEscape = "\\u00";

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The first "\u00XX" in [from, to) that spells a printable ASCII character. JSON may write any
// letter of "event_msg" or of a lifecycle name that way; Codex never does (it escapes only
// control characters, such as the ESC of terminal output), but a line that does still counts,
// so such a line always goes to the parser.
const char* findEscapedPrintable(const char* from, const char* to) {
    // memchr for the backslash: far faster than a four-byte memmem where backslashes are rare.
    while (from < to) {
        auto* hit = static_cast<const char*>(std::memchr(from, '\\', static_cast<std::size_t>(to - from)));
        if (!hit) return nullptr;
        if (to - hit >= 6 && std::string_view(hit, 4) == asciiEscape) {
            int high = hexDigit(hit[4]), low = hexDigit(hit[5]);
            if (high >= 0 && low >= 0 && high * 16 + low >= 0x20 && high * 16 + low < 0x7f) return hit;
        }
        from = hit + 1;
    }
    return nullptr;
}

bool hasEscapedPrintable(std::string_view line) {
    return findEscapedPrintable(line.data(), line.data() + line.size()) != nullptr;
}

// Lifecycle payload types. A line that contains neither "event_msg" nor an escape cannot update
// the lifecycle and is skipped without being parsed (whitespace around the JSON punctuation does
// not matter, only the bare words are looked for); that is what keeps scanning close to the
// speed of reading.
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

// Every lifecycle name contains one of these: task_started, task_complete, task_failed;
// turn_aborted; and the five *_request / request_* names.
bool mentionsLifecycle(std::string_view line) {
    return contains(line, "task_") || contains(line, "request") || contains(line, "turn_aborted") ||
           hasEscapedPrintable(line);
}

bool mayBeEvent(std::string_view line) { return contains(line, eventMarker) || hasEscapedPrintable(line); }

// A complete line already known to pass mayBeEvent.
void processMarkedLine(CodexRolloutLifecycleState& state, std::string_view line, Date fallbackDate) {
    if (!mentionsLifecycle(line)) return;
    auto parsed = json::parse(line);
    if (!parsed || !parsed->is_object()) return;
    const Json& record = *parsed;
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
    if (!c.isDiscardingOversizedLine && mayBeEvent(c.bufferedLine))
        processMarkedLine(c.lifecycle, c.bufferedLine, fallbackDate);
    c.bufferedLine.clear();
    c.isDiscardingOversizedLine = false;
}

std::unexpected<RolloutReadFailure> fail(RolloutReadError code, std::string detail = {}) {
    return std::unexpected(RolloutReadFailure{code, std::move(detail)});
}

class File {
public:
    static std::expected<File, RolloutReadFailure> open(const std::filesystem::path& p) {
        int fd = ::open(p.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) return fail(RolloutReadError::openFailed, p.string());
        return File(fd);
    }
    File(File&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    ~File() {
        if (fd_ >= 0) ::close(fd_);
    }
    File(const File&) = delete;
    File& operator=(const File&) = delete;
    File& operator=(File&&) = delete;

    std::expected<std::uint64_t, RolloutReadFailure> size() const {
        auto end = ::lseek(fd_, 0, SEEK_END);
        if (end < 0) return fail(RolloutReadError::seekFailed);
        return static_cast<std::uint64_t>(end);
    }
    std::expected<void, RolloutReadFailure> seek(std::uint64_t offset) const {
        if (::lseek(fd_, static_cast<off_t>(offset), SEEK_SET) < 0) return fail(RolloutReadError::seekFailed);
        return {};
    }
    // Up to n bytes; 0 at end of file.
    std::expected<std::size_t, RolloutReadFailure> read(char* into, std::size_t n) const {
        for (;;) {
            auto got = ::read(fd_, into, n);
            if (got >= 0) return static_cast<std::size_t>(got);
            if (errno != EINTR) return fail(RolloutReadError::readFailed);
        }
    }

private:
    explicit File(int fd) : fd_(fd) {}
    int fd_;
};

bool hasTaskEvent(const CodexRolloutLifecycleState& l) {
    return l.lastStartedAt || l.lastCompletedAt || l.lastFailedAt || l.lastCancelledAt;
}

// Lifecycle updates keep the later instant, so results of disjoint byte ranges merge field by field.
void mergeLifecycle(CodexRolloutLifecycleState& into, const CodexRolloutLifecycleState& from) {
    for (auto field : {&CodexRolloutLifecycleState::lastStartedAt, &CodexRolloutLifecycleState::lastCompletedAt,
                       &CodexRolloutLifecycleState::lastFailedAt, &CodexRolloutLifecycleState::lastCancelledAt,
                       &CodexRolloutLifecycleState::lastApprovalAt, &CodexRolloutLifecycleState::lastUserInputAt}) {
        const auto& value = from.*field;
        auto& slot = into.*field;
        if (value && (!slot || *slot <= *value)) slot = value;
    }
}

// Feeds the bytes [from, to), which must all be there.
std::expected<void, RolloutReadFailure> feedRange(const File& file, std::uint64_t from, std::uint64_t to,
                                                  CodexRolloutLifecycleCursor& cursor, Date fallbackDate,
                                                  std::string& buffer) {
    if (auto sought = file.seek(from); !sought) return sought;
    buffer.resize(rolloutReadChunk);
    while (from < to) {
        auto want = static_cast<std::size_t>(std::min<std::uint64_t>(to - from, rolloutReadChunk));
        auto got = file.read(buffer.data(), want);
        if (!got) return std::unexpected(std::move(got.error()));
        if (*got == 0) return fail(RolloutReadError::readFailed, "short read");
        feedRolloutBytes(cursor, std::string_view(buffer.data(), *got), fallbackDate);
        from += *got;
    }
    return {};
}

// Feeds from `from` through the first line feed; false when the file ends (at `size`) first.
std::expected<bool, RolloutReadFailure> feedThroughLineFeed(const File& file, std::uint64_t from, std::uint64_t size,
                                                            CodexRolloutLifecycleCursor& cursor, Date fallbackDate,
                                                            std::string& buffer) {
    if (auto sought = file.seek(from); !sought) return std::unexpected(std::move(sought.error()));
    buffer.resize(rolloutReadChunk);
    while (from < size) {
        auto want = static_cast<std::size_t>(std::min<std::uint64_t>(size - from, rolloutReadChunk));
        auto got = file.read(buffer.data(), want);
        if (!got) return std::unexpected(std::move(got.error()));
        if (*got == 0) return fail(RolloutReadError::readFailed, "short read");
        std::string_view bytes(buffer.data(), *got);
        if (auto nl = bytes.find('\n'); nl != std::string_view::npos) {
            feedRolloutBytes(cursor, bytes.substr(0, nl + 1), fallbackDate);
            return true;
        }
        feedRolloutBytes(cursor, bytes, fallbackDate);
        from += *got;
    }
    return false;
}

// The first read of a file: the last 512 KiB, widened (doubling) up to 32 MiB while no task
// start, completion, failure or cancellation shows up; when even 32 MiB of a larger file hold
// none, the whole file. The cursor is exactly the one a fresh read of the final window (its cut
// first line skipped) would give, but each widening reads only the bytes in front of the
// previous window plus the rest of the line cut at its start: a file is read at most once.
std::expected<CodexRolloutLifecycleCursor, RolloutReadFailure> bootstrap(const File& file, std::uint64_t size,
                                                                         Date fallbackDate, std::string& buffer) {
    CodexRolloutLifecycleCursor window;
    if (size == 0) return window;
    std::uint64_t length = std::min<std::uint64_t>(size, rolloutReadChunk);
    std::uint64_t start = size - length;
    window.isDiscardingOversizedLine = start > 0;  // the window's first line is cut
    if (auto fed = feedRange(file, start, size, window, fallbackDate, buffer); !fed)
        return std::unexpected(std::move(fed.error()));
    while (!hasTaskEvent(window.lifecycle) && start > 0) {
        if (size <= rolloutMaxTailWindow)
            length = std::min<std::uint64_t>(length * 2, size);
        else
            length = length >= rolloutMaxTailWindow ? size : std::min<std::uint64_t>(length * 2, rolloutMaxTailWindow);
        std::uint64_t wider = size - length;
        CodexRolloutLifecycleCursor front;
        front.isDiscardingOversizedLine = wider > 0;
        if (auto fed = feedRange(file, wider, start, front, fallbackDate, buffer); !fed)
            return std::unexpected(std::move(fed.error()));
        auto cutLineEnds = feedThroughLineFeed(file, start, size, front, fallbackDate, buffer);
        if (!cutLineEnds) return std::unexpected(std::move(cutLineEnds.error()));
        mergeLifecycle(front.lifecycle, window.lifecycle);
        if (*cutLineEnds) {
            front.bufferedLine = std::move(window.bufferedLine);
            front.isDiscardingOversizedLine = window.isDiscardingOversizedLine;
        }
        window = std::move(front);
        start = wider;
    }
    window.byteOffset = size;
    return window;
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
    // Whole lines: only those that mention "event_msg" or escape a printable character are looked
    // at. The next occurrence of each is remembered, so the block is searched once per needle.
    const char* lastNL = static_cast<const char*>(::memrchr(p, '\n', static_cast<std::size_t>(end - p)));
    if (lastNL) {
        auto find = [lastNL](const char* from, std::string_view needle) {
            return static_cast<const char*>(
                ::memmem(from, static_cast<std::size_t>(lastNL - from), needle.data(), needle.size()));
        };
        const char* at = p;
        const char* nextMarker = find(at, eventMarker);
        const char* nextEscape = findEscapedPrintable(at, lastNL);
        while (nextMarker || nextEscape) {
            const char* hit = !nextEscape ? nextMarker : !nextMarker ? nextEscape : std::min(nextMarker, nextEscape);
            auto* lineStart = static_cast<const char*>(::memrchr(at, '\n', static_cast<std::size_t>(hit - at)));
            lineStart = lineStart ? lineStart + 1 : at;
            auto* lineEnd = static_cast<const char*>(std::memchr(hit, '\n', static_cast<std::size_t>(lastNL + 1 - hit)));
            auto length = static_cast<std::size_t>(lineEnd - lineStart);
            if (length <= rolloutMaxLine) processMarkedLine(c.lifecycle, std::string_view(lineStart, length), fallbackDate);
            at = lineEnd + 1;
            if (nextMarker && nextMarker < at) nextMarker = at < lastNL ? find(at, eventMarker) : nullptr;
            if (nextEscape && nextEscape < at) nextEscape = findEscapedPrintable(at, lastNL);
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

std::expected<CodexRolloutLifecycleScanResult, RolloutReadFailure> scanRollout(
    const std::filesystem::path& path, const std::string& threadID, Date fallbackDate,
    const std::optional<CodexRolloutLifecycleCursor>& previous) {
    auto file = File::open(path);
    if (!file) return std::unexpected(std::move(file.error()));
    auto size = file->size();
    if (!size) return std::unexpected(std::move(size.error()));
    std::string buffer;
    CodexRolloutLifecycleCursor cursor;
    if (previous && previous->byteOffset <= *size) {
        cursor = *previous;
    } else {
        auto fresh = bootstrap(*file, *size, fallbackDate, buffer);
        if (!fresh) return std::unexpected(std::move(fresh.error()));
        cursor = std::move(*fresh);
    }
    if (cursor.byteOffset < *size) {
        if (auto sought = file->seek(cursor.byteOffset); !sought) return std::unexpected(std::move(sought.error()));
        buffer.resize(rolloutReadChunk);
        while (cursor.byteOffset < *size) {
            auto want = static_cast<std::size_t>(std::min<std::uint64_t>(*size - cursor.byteOffset, rolloutReadChunk));
            auto got = file->read(buffer.data(), want);
            if (!got) return std::unexpected(std::move(got.error()));
            if (*got == 0) break;
            cursor.byteOffset += *got;
            feedRolloutBytes(cursor, std::string_view(buffer.data(), *got), fallbackDate);
        }
    }
    return CodexRolloutLifecycleScanResult{makeActivity(threadID, fallbackDate, cursor), std::move(cursor)};
}

}  // namespace vigilorb::codex

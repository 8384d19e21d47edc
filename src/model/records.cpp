#include "model/records.hpp"

#include <cmath>

#include "model/text.hpp"

namespace vigilorb {

namespace {

template <class E, std::size_t N>
std::optional<E> lookup(std::string_view raw, const std::array<std::pair<E, std::string_view>, N>& table) {
    for (auto& [value, name] : table)
        if (name == raw) return value;
    return std::nullopt;
}

template <class E, std::size_t N>
std::string_view nameOf(E v, const std::array<std::pair<E, std::string_view>, N>& table) {
    for (auto& [value, name] : table)
        if (value == v) return name;
    return "";
}

constexpr std::array<std::pair<AIProvider, std::string_view>, 2> providerNames{{
    {AIProvider::codex, "codex"},
    {AIProvider::claude, "claude"},
}};
constexpr std::array<std::pair<TaskState, std::string_view>, 8> stateNames{{
    {TaskState::running, "running"},
    {TaskState::waitingApproval, "waitingApproval"},
    {TaskState::waitingInput, "waitingInput"},
    {TaskState::completed, "completed"},
    {TaskState::failed, "failed"},
    {TaskState::cancelled, "cancelled"},
    {TaskState::stale, "stale"},
    {TaskState::offline, "offline"},
}};
constexpr std::array<std::pair<QuotaWindowKind, std::string_view>, 4> windowNames{{
    {QuotaWindowKind::fiveHour, "fiveHour"},
    {QuotaWindowKind::sevenDay, "sevenDay"},
    {QuotaWindowKind::primary, "primary"},
    {QuotaWindowKind::secondary, "secondary"},
}};
constexpr std::array<std::pair<PendingActionKind, std::string_view>, 5> actionNames{{
    {PendingActionKind::command, "command"},
    {PendingActionKind::fileChange, "fileChange"},
    {PendingActionKind::permissions, "permissions"},
    {PendingActionKind::userInput, "userInput"},
    {PendingActionKind::unknown, "unknown"},
}};

template <class E>
E requireEnum(const Json& obj, const char* key) {
    auto raw = json::requireString(obj, key);
    auto v = fromRawValue<E>(raw);
    if (!v) throw DecodingError("Cannot initialize from invalid raw value " + raw + " for key \"" + key + "\"");
    return *v;
}

void putOptional(Json& j, const char* key, const std::optional<std::string>& v) {
    if (v) j[key] = *v;
}

}  // namespace

std::string_view rawValue(AIProvider v) { return nameOf(v, providerNames); }
std::string_view rawValue(TaskState v) { return nameOf(v, stateNames); }
std::string_view rawValue(QuotaWindowKind v) { return nameOf(v, windowNames); }
std::string_view rawValue(PendingActionKind v) { return nameOf(v, actionNames); }

template <>
std::optional<AIProvider> fromRawValue<AIProvider>(std::string_view raw) { return lookup(raw, providerNames); }
template <>
std::optional<TaskState> fromRawValue<TaskState>(std::string_view raw) { return lookup(raw, stateNames); }
template <>
std::optional<QuotaWindowKind> fromRawValue<QuotaWindowKind>(std::string_view raw) { return lookup(raw, windowNames); }
template <>
std::optional<PendingActionKind> fromRawValue<PendingActionKind>(std::string_view raw) { return lookup(raw, actionNames); }

std::string AccountQuotaSnapshot::id() const {
    return sourceID.value_or("local") + ":" + std::string(rawValue(provider)) + ":" + accountID;
}

Json dateToJson(Date d) {
    double s = d.sinceReference;
    if (std::isfinite(s) && std::trunc(s) == s && std::fabs(s) < 9.0e15) return Json(static_cast<long long>(s));
    return Json(s);
}

void to_json(Json& j, const QuotaWindow& v) {
    j = Json::object();
    j["kind"] = rawValue(v.kind);
    j["usedPercentage"] = v.usedPercentage;
    if (v.resetsAt) j["resetsAt"] = dateToJson(*v.resetsAt);
    if (v.durationMinutes) j["durationMinutes"] = *v.durationMinutes;
}

void from_json(const Json& j, QuotaWindow& v) {
    json::object(j, "QuotaWindow");
    v.kind = requireEnum<QuotaWindowKind>(j, "kind");
    v.usedPercentage = json::requireNumber(j, "usedPercentage");
    v.resetsAt = json::optionalDate(j, "resetsAt");
    v.durationMinutes = json::optionalInteger(j, "durationMinutes");
}

void to_json(Json& j, const AccountQuotaSnapshot& v) {
    j = Json::object();
    putOptional(j, "sourceID", v.sourceID);
    j["accountID"] = v.accountID;
    j["provider"] = rawValue(v.provider);
    j["windows"] = v.windows;
    j["capturedAt"] = dateToJson(v.capturedAt);
}

void from_json(const Json& j, AccountQuotaSnapshot& v) {
    json::object(j, "AccountQuotaSnapshot");
    v.sourceID = json::optionalString(j, "sourceID");
    v.accountID = json::requireString(j, "accountID");
    v.provider = requireEnum<AIProvider>(j, "provider");
    const auto& windows = json::require(j, "windows");
    if (!windows.is_array()) throw DecodingError("Expected an array for key \"windows\"");
    v.windows.clear();
    for (const auto& w : windows) v.windows.push_back(w.get<QuotaWindow>());
    v.capturedAt = json::requireDate(j, "capturedAt");
}

void to_json(Json& j, const TaskSnapshot& v) {
    j = Json::object();
    j["id"] = v.id;
    putOptional(j, "sourceID", v.sourceID);
    j["accountID"] = v.accountID;
    j["provider"] = rawValue(v.provider);
    j["title"] = v.title;
    j["state"] = rawValue(v.state);
    j["updatedAt"] = dateToJson(v.updatedAt);
}

void from_json(const Json& j, TaskSnapshot& v) {
    json::object(j, "TaskSnapshot");
    v.id = json::requireString(j, "id");
    v.sourceID = json::optionalString(j, "sourceID");
    v.accountID = json::requireString(j, "accountID");
    v.provider = requireEnum<AIProvider>(j, "provider");
    v.title = json::requireString(j, "title");
    v.state = requireEnum<TaskState>(j, "state");
    v.updatedAt = json::requireDate(j, "updatedAt");
}

void to_json(Json& j, const PendingAction& v) {
    j = Json::object();
    j["id"] = v.id;
    putOptional(j, "sourceID", v.sourceID);
    j["taskID"] = v.taskID;
    j["accountID"] = v.accountID;
    j["provider"] = rawValue(v.provider);
    j["kind"] = rawValue(v.kind);
    j["requestedAt"] = dateToJson(v.requestedAt);
}

void from_json(const Json& j, PendingAction& v) {
    json::object(j, "PendingAction");
    v.id = json::requireString(j, "id");
    v.sourceID = json::optionalString(j, "sourceID");
    v.taskID = json::requireString(j, "taskID");
    v.accountID = json::requireString(j, "accountID");
    v.provider = requireEnum<AIProvider>(j, "provider");
    v.kind = requireEnum<PendingActionKind>(j, "kind");
    v.requestedAt = json::requireDate(j, "requestedAt");
}

std::optional<std::string> normalizedTitle(const std::optional<std::string>& title) {
    if (!title) return std::nullopt;
    std::string joined;
    std::string word;
    auto flush = [&] {
        if (word.empty()) return;
        if (!joined.empty()) joined += ' ';
        joined += word;
        word.clear();
    };
    const std::string& s = *title;
    // Decode scalar by scalar so that multi-byte whitespace (U+3000, U+2028…) splits too;
    // undecodable bytes are kept as they are.
    std::size_t i = 0;
    while (i < s.size()) {
        auto* p = reinterpret_cast<const utf8proc_uint8_t*>(s.data() + i);
        utf8proc_int32_t cp = 0;
        auto n = utf8proc_iterate(p, static_cast<utf8proc_ssize_t>(s.size() - i), &cp);
        if (n <= 0) {
            word += s[i];
            ++i;
            continue;
        }
        if (text::isWhitespaceOrNewline(static_cast<char32_t>(cp)))
            flush();
        else
            word.append(s, i, static_cast<std::size_t>(n));
        i += static_cast<std::size_t>(n);
    }
    flush();
    if (joined.empty()) return std::nullopt;
    auto cut = text::graphemePrefix(joined, maxTitleCharacters, maxTitleBytes);
    // A cut before a word leaves the space that led to it.
    if (cut.ends_with(' ')) cut.pop_back();
    return cut;
}

bool isPlaceholderTitle(std::string_view title, AIProvider provider) {
    switch (provider) {
        case AIProvider::codex: {
            if (title == "Codex task") return true;
            for (std::string_view prefix : {std::string_view("Codex task · "), std::string_view("Codex 任务 · ")}) {
                if (title.starts_with(prefix)) {
                    auto rest = title.substr(prefix.size());
                    bool hasSpace = false;
                    text::forEachScalar(rest, [&](char32_t c) { hasSpace |= (c == U' '); });
                    if (!hasSpace && text::graphemeCount(rest) == 6) return true;
                }
            }
            return false;
        }
        case AIProvider::claude:
            return title == "Claude task" || title == "Cowork task" || title == "Cowork 任务" ||
                   title == "Cowork · Cowork 任务" || title.starts_with("Claude task · ");
    }
    return false;
}

}  // namespace vigilorb

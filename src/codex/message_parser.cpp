#include "codex/message_parser.hpp"

#include <algorithm>
#include <cctype>
#include <cmath>

#include "codex/task_title.hpp"

namespace vigilorb::codex {

namespace {

std::optional<QuotaWindow> parseWindow(const Json& w, QuotaWindowKind defaultKind) {
    auto used = w.find("usedPercent");
    if (used == w.end() || !used->is_number()) return std::nullopt;
    QuotaWindow window;
    window.usedPercentage = std::clamp(used->get<double>(), 0.0, 100.0);
    if (std::isnan(window.usedPercentage)) window.usedPercentage = 0;
    window.kind = defaultKind;
    if (auto d = w.find("windowDurationMins"); d != w.end() && d->is_number()) {
        double minutes = d->get<double>();
        // Read as an integer: a fractional or out-of-range duration is no duration.
        if (std::isfinite(minutes) && minutes == std::floor(minutes) && std::fabs(minutes) < 9.0e15) {
            window.durationMinutes = static_cast<long long>(minutes);
            if (*window.durationMinutes == 300) window.kind = QuotaWindowKind::fiveHour;
            if (*window.durationMinutes == 10080) window.kind = QuotaWindowKind::sevenDay;
        }
    }
    if (auto r = w.find("resetsAt"); r != w.end() && r->is_number()) window.resetsAt = Date::fromUnix(r->get<double>());
    return window;
}

std::vector<NormalizedProviderEvent> rateLimits(const Json& limits, const std::string& accountID, Date now) {
    AccountQuotaSnapshot quota;
    quota.accountID = accountID;
    quota.provider = AIProvider::codex;
    quota.capturedAt = now;
    for (auto [key, kind] : {std::pair{"primary", QuotaWindowKind::primary}, std::pair{"secondary", QuotaWindowKind::secondary}}) {
        auto w = limits.find(key);
        if (w == limits.end() || !w->is_object()) continue;
        if (auto window = parseWindow(*w, kind)) quota.windows.push_back(*window);
    }
    if (quota.windows.empty()) return {};
    return {NormalizedProviderEvent::quota(std::move(quota))};
}

TaskState stateFromFlags(const Json& status) {
    auto flags = status.find("activeFlags");
    bool approval = false, input = false;
    if (flags != status.end() && flags->is_array()) {
        for (const auto& f : *flags) {
            if (!f.is_string()) continue;
            const auto& s = f.get_ref<const std::string&>();
            approval = approval || s == "waitingOnApproval";
            input = input || s == "waitingOnUserInput";
        }
    }
    if (approval) return TaskState::waitingApproval;
    if (input) return TaskState::waitingInput;
    return TaskState::running;
}

TaskSnapshot makeTask(const std::string& id, const std::string& accountID, std::string title, TaskState state,
                      Date updatedAt) {
    TaskSnapshot t;
    t.id = id;
    t.accountID = accountID;
    t.provider = AIProvider::codex;
    t.title = std::move(title);
    t.state = state;
    t.updatedAt = updatedAt;
    return t;
}

std::vector<NormalizedProviderEvent> threadList(const Json& data, const std::string& accountID) {
    std::vector<NormalizedProviderEvent> events;
    for (const auto& entry : data) {
        auto id = entry.find("id");
        auto updated = entry.find("updatedAt");
        auto status = entry.find("status");
        if (id == entry.end() || !id->is_string() || updated == entry.end() || !updated->is_number() ||
            status == entry.end() || !status->is_object())
            continue;
        auto type = status->find("type");
        if (type == status->end() || !type->is_string() || type->get_ref<const std::string&>() != "active") continue;
        const auto& threadID = id->get_ref<const std::string&>();
        std::optional<std::string> name;
        if (auto n = entry.find("name"); n != entry.end() && n->is_string()) name = n->get<std::string>();
        auto title = normalizedTitle(name);
        events.push_back(NormalizedProviderEvent::task(makeTask(threadID, accountID,
                                                                title ? *title : defaultTaskTitle(threadID),
                                                                stateFromFlags(*status),
                                                                Date::fromUnix(updated->get<double>()))));
    }
    return events;
}

std::string lower(std::string s) {
    for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::vector<NormalizedProviderEvent> notification(const std::string& method, const Json& params,
                                                  const std::string& accountID, Date now) {
    auto tid = params.find("threadId");
    bool hasThreadID = tid != params.end() && tid->is_string();
    std::string threadID = hasThreadID ? tid->get<std::string>() : "unknown-thread";
    auto task = [&](TaskState state) {
        return NormalizedProviderEvent::task(makeTask(threadID, accountID, defaultTaskTitle(threadID), state, now));
    };

    if (method == "thread/status/changed") {
        auto status = params.find("status");
        if (!hasThreadID || status == params.end() || !status->is_object()) return {};
        auto type = status->find("type");
        if (type == status->end() || !type->is_string() || type->get_ref<const std::string&>() != "active") return {};
        return {task(stateFromFlags(*status))};
    }
    if (method == "turn/started") return {task(TaskState::running)};
    if (method == "turn/completed") {
        auto turn = params.find("turn");
        if (turn == params.end() || !turn->is_object()) return {};
        auto status = turn->find("status");
        if (status == turn->end() || !status->is_string()) return {};
        auto s = lower(status->get<std::string>());
        if (s == "completed") return {task(TaskState::completed)};
        if (s == "failed") return {task(TaskState::failed)};
        if (s == "aborted" || s == "cancelled" || s == "canceled" || s == "interrupted") return {task(TaskState::cancelled)};
        return {};
    }
    if (method == "item/commandExecution/requestApproval" || method == "item/fileChange/requestApproval" ||
        method == "item/permissions/requestApproval") {
        PendingAction action;
        auto item = params.find("itemId");
        action.id = item != params.end() && item->is_string() ? item->get<std::string>() : threadID;
        action.taskID = threadID;
        action.accountID = accountID;
        action.provider = AIProvider::codex;
        action.requestedAt = now;
        action.kind = method.find("commandExecution") != std::string::npos ? PendingActionKind::command
                      : method.find("fileChange") != std::string::npos   ? PendingActionKind::fileChange
                                                                         : PendingActionKind::permissions;
        return {task(TaskState::waitingApproval), NormalizedProviderEvent::pendingAction(std::move(action))};
    }
    if (method == "item/tool/requestUserInput") return {task(TaskState::waitingInput)};
    return {};
}

}  // namespace

ParsedMessage parseMessage(const Json& message, const std::string& accountID, Date now) {
    if (!message.is_object()) return std::unexpected(ProviderMessageParsingError::invalidShape);
    if (auto result = message.find("result"); result != message.end() && result->is_object()) {
        if (auto limits = result->find("rateLimits"); limits != result->end() && limits->is_object())
            return rateLimits(*limits, accountID, now);
        if (auto data = result->find("data"); data != result->end() && data->is_array() &&
                                              std::all_of(data->begin(), data->end(), [](const Json& e) { return e.is_object(); }))
            return threadList(*data, accountID);
    }
    auto method = message.find("method");
    auto params = message.find("params");
    if (method != message.end() && method->is_string() && params != message.end() && params->is_object())
        return notification(method->get<std::string>(), *params, accountID, now);
    return {};
}

ParsedMessage parseMessage(std::string_view data, const std::string& accountID, Date now) {
    auto message = json::parse(data);
    if (!message) return std::unexpected(ProviderMessageParsingError::invalidJSON);
    return parseMessage(*message, accountID, now);
}

}  // namespace vigilorb::codex

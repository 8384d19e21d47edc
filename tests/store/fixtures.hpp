#pragma once
#include "store/snapshot.hpp"

namespace vigilorb::fixtures {

inline Date at(double s) { return Date::fromReference(s); }

inline TaskSnapshot task(std::string id, TaskState state, double updated, std::string title = "Fix the build",
                         AIProvider p = AIProvider::claude, std::string account = "work") {
    return TaskSnapshot{std::move(id), std::nullopt, std::move(account), p, std::move(title), state, at(updated)};
}

inline PendingAction action(std::string taskID, double requested, AIProvider p = AIProvider::claude,
                            std::string account = "work") {
    return PendingAction{taskID + "-permission", std::nullopt, taskID, std::move(account), p,
                         PendingActionKind::permissions, at(requested)};
}

inline AccountQuotaSnapshot quota(double captured, double used = 10, std::optional<std::string> source = {},
                                  std::string account = "work") {
    return AccountQuotaSnapshot{std::move(source), std::move(account), AIProvider::claude,
                                {{QuotaWindowKind::fiveHour, used, std::nullopt, 300}}, at(captured)};
}

inline ProviderEventEnvelope envelope(NormalizedProviderEvent e, double recorded, std::string id = makeUUID()) {
    return ProviderEventEnvelope{std::move(id), at(recorded), std::move(e)};
}

}  // namespace vigilorb::fixtures

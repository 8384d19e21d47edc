#pragma once
#include "security/pairing_key.hpp"
#include "store/snapshot.hpp"

namespace vigilorb::protocol_fixtures {

inline Date at(double s) { return Date::fromReference(s); }

inline security::LocalPairingKey key(std::uint8_t fill = 0x5a) { return *security::LocalPairingKey::fromBytes(Bytes(32, fill)); }

// A small snapshot with records in every list, some of them tied on dates, keys inserted in an
// order that differs from the payload's.
inline store::CompanionSnapshot sampleSnapshot() {
    store::CompanionSnapshot s;
    auto quota = [](std::string account, double captured) {
        return AccountQuotaSnapshot{std::nullopt, std::move(account), AIProvider::claude,
                                    {{QuotaWindowKind::fiveHour, 42.5, at(800000000), 300}}, at(captured)};
    };
    s.quotasByAccount["claude:zeta"] = quota("zeta", 700000000);
    s.quotasByAccount["claude:alpha"] = quota("alpha", 700000001);
    s.quotasByAccount["codex:mid"] = {std::string("src"), "mid", AIProvider::codex,
                                      {{QuotaWindowKind::primary, 7, std::nullopt, std::nullopt}}, at(700000000.25)};
    auto task = [](std::string id, double updated, std::string title) {
        return TaskSnapshot{std::move(id), std::nullopt, "work", AIProvider::claude, std::move(title),
                            TaskState::running, at(updated)};
    };
    s.tasksByID["a"] = task("t-old", 700000000, "Old task");
    s.tasksByID["b"] = task("t-b", 700000100.5, "Tied \"b\" / ünïcode");
    s.tasksByID["c"] = task("t-a", 700000100.5, "Tied a");
    s.pendingActionsByID["x"] = PendingAction{"p-2", std::nullopt, "t-b", "work", AIProvider::claude,
                                              PendingActionKind::permissions, at(700000050)};
    s.pendingActionsByID["y"] = PendingAction{"p-1", std::nullopt, "t-a", "work", AIProvider::claude,
                                              PendingActionKind::command, at(700000050)};
    return s;
}

}  // namespace vigilorb::protocol_fixtures

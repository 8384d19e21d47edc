#pragma once
#include <expected>
#include <string>
#include <string_view>
#include <variant>

#include "model/error.hpp"
#include "model/json.hpp"
#include "model/records.hpp"

namespace vigilorb {

// One observation of any adapter; carries exactly one record.
struct NormalizedProviderEvent {
    std::variant<AccountQuotaSnapshot, TaskSnapshot, PendingAction> value;

    static NormalizedProviderEvent quota(AccountQuotaSnapshot q) { return {std::move(q)}; }
    static NormalizedProviderEvent task(TaskSnapshot t) { return {std::move(t)}; }
    static NormalizedProviderEvent pendingAction(PendingAction a) { return {std::move(a)}; }

    const AccountQuotaSnapshot* asQuota() const { return std::get_if<AccountQuotaSnapshot>(&value); }
    const TaskSnapshot* asTask() const { return std::get_if<TaskSnapshot>(&value); }
    const PendingAction* asPendingAction() const { return std::get_if<PendingAction>(&value); }

    AIProvider provider() const;
    const std::string& accountID() const;

    bool operator==(const NormalizedProviderEvent&) const = default;
};

struct ProviderEventEnvelope {
    std::string id;
    Date recordedAt;
    NormalizedProviderEvent event;

    // A fresh upper-case UUID as id.
    static ProviderEventEnvelope make(NormalizedProviderEvent event, Date recordedAt);

    bool operator==(const ProviderEventEnvelope&) const = default;
};

void to_json(Json& j, const NormalizedProviderEvent& v);
void from_json(const Json& j, NormalizedProviderEvent& v);
void to_json(Json& j, const ProviderEventEnvelope& v);
void from_json(const Json& j, ProviderEventEnvelope& v);

// Compact UTF-8 JSON of an envelope, as stored in inbox files.
std::string encodeEnvelope(const ProviderEventEnvelope& e);
[[nodiscard]] std::expected<ProviderEventEnvelope, json::DocumentFailure> decodeEnvelope(std::string_view bytes);

// tooLarge: a value the companion would have to keep (an identifier) is beyond its size bound.
enum class ProviderMessageParsingError { invalidJSON, invalidShape, tooLarge };
enum class AccountProfileError { invalidIdentifier };

inline constexpr std::string_view invalidAccountIDMessage =
    "Account IDs may contain only letters, numbers, hyphens, and underscores";

// Not empty, at most 64 user-perceived characters, only letters, marks, digits, "-" and "_".
bool isValidAccountID(std::string_view accountID);

struct AccountProfile {
    std::string accountID;
    AIProvider provider{};
    std::string profileName;

    // invalidIdentifier unless the account ID follows isValidAccountID().
    [[nodiscard]] static std::expected<AccountProfile, AccountProfileError> make(std::string accountID, AIProvider provider,
                                                                                 std::string profileName);
    bool operator==(const AccountProfile&) const = default;
};

// Canonical 36-character upper-case random (version 4) UUID.
std::string makeUUID();

}  // namespace vigilorb

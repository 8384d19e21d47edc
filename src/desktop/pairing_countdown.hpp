#pragma once
// The pairing sheet's countdown line, re-evaluated every second while the sheet is shown.
#include <string>
#include <string_view>

#include "model/date.hpp"

namespace vigilorb::desktop {

inline constexpr std::string_view invitationExpiredText = "Pairing invitation expired";

struct PairingCountdown {
    Date expiresAt;

    // Seconds from `now` until the expiry, rounded up to a whole number (negative once past).
    long long remainingSeconds(Date now) const;
    // Below one second left.
    bool expired(Date now) const { return remainingSeconds(now) < 1; }
    // "Expires in 120 seconds", "Expires in 1 second", then "Pairing invitation expired".
    std::string text(Date now) const;
};

}  // namespace vigilorb::desktop

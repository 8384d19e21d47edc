#include "desktop/pairing_countdown.hpp"

#include <cmath>

namespace vigilorb::desktop {

long long PairingCountdown::remainingSeconds(Date now) const {
    return static_cast<long long>(std::ceil(expiresAt - now));
}

std::string PairingCountdown::text(Date now) const {
    auto remaining = remainingSeconds(now);
    if (remaining < 1) return std::string(invitationExpiredText);
    return "Expires in " + std::to_string(remaining) + " second" + (remaining == 1 ? "" : "s");
}

}  // namespace vigilorb::desktop

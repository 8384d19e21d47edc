#pragma once
// The modal sheet that shows a one-time pairing invitation: the QR code, the verification code,
// a countdown re-evaluated every second, and "Done".
#include <QDialog>
#include <QImage>
#include <QTimer>

#include <functional>
#include <optional>

#include "desktop/pairing_countdown.hpp"
#include "security/pairing.hpp"

class QLabel;
class QPushButton;

namespace vigilorb::app {

inline constexpr int qrPixelsPerModule = 10;

// The invitation's QR payload as an image: every module 10 × 10 pixels, the quiet zone
// included, black on white. Nothing when no symbol holds the payload.
std::optional<QImage> makeQRImage(const security::PairingInvitation& invitation);

class PairingInvitationSheet : public QDialog {
    Q_OBJECT

public:
    PairingInvitationSheet(const security::PairingInvitation& invitation, std::function<Date()> clock,
                           QWidget* parent = nullptr);

    // Re-reads the clock (the timer does this every second).
    void updateCountdown();
    const security::PairingInvitation& invitation() const { return invitation_; }

private:
    security::PairingInvitation invitation_;
    std::function<Date()> clock_;
    desktop::PairingCountdown countdown_;
    QLabel* countdownIcon_ = nullptr;
    QLabel* countdownText_ = nullptr;
    QTimer ticker_;
};

}  // namespace vigilorb::app

#include "app/pairing_sheet.hpp"

#include <QApplication>
#include <QFont>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QStyle>
#include <QVBoxLayout>

#include "app/icons.hpp"
#include "desktop/qr_matrix.hpp"

namespace vigilorb::app {

std::optional<QImage> makeQRImage(const security::PairingInvitation& invitation) {
    auto payload = invitation.qrPayload();
    if (!payload) return std::nullopt;
    auto matrix = desktop::encodeQr(*payload);
    if (!matrix) return std::nullopt;
    const int side = matrix->size() * qrPixelsPerModule;
    QImage image(side, side, QImage::Format_RGB32);
    image.fill(Qt::white);
    for (int y = 0; y < side; ++y) {
        auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < side; ++x)
            if (matrix->isDark(x / qrPixelsPerModule, y / qrPixelsPerModule)) line[x] = qRgb(0, 0, 0);
    }
    return image;
}

namespace {

QLabel* wrapped(const QString& text, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setWordWrap(true);
    label->setAlignment(Qt::AlignHCenter);
    return label;
}

void secondary(QWidget* w) {
    w->setForegroundRole(QPalette::PlaceholderText);
}

void captionFont(QWidget* w) {
    QFont f = w->font();
    f.setPointSizeF(f.pointSizeF() * 0.9);
    w->setFont(f);
}

}  // namespace

PairingInvitationSheet::PairingInvitationSheet(const security::PairingInvitation& invitation, std::function<Date()> clock,
                                               QWidget* parent)
    : QDialog(parent), invitation_(invitation), clock_(std::move(clock)), countdown_{invitation.expiresAt} {
    setObjectName("pairingInvitationSheet");
    setWindowTitle("QR Pairing Invitation");
    setModal(true);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(28, 28, 28, 28);
    layout->setSpacing(20);

    auto* header = new QVBoxLayout;
    header->setSpacing(6);
    auto* title = wrapped("Scan with iPhone", this);
    QFont titleFont = title->font();
    titleFont.setPointSizeF(titleFont.pointSizeF() * 1.5);
    titleFont.setWeight(QFont::DemiBold);
    title->setFont(titleFont);
    auto* subtitle =
        wrapped("The QR code contains a one-time pairing secret. It never contains Codex or Claude credentials.", this);
    secondary(subtitle);
    header->addWidget(title);
    header->addWidget(subtitle);
    layout->addLayout(header);

    // The code, shown at its own pixels (never smoothed) on white with a margin around it.
    auto* code = new QLabel(this);
    code->setObjectName("pairingQRCode");
    if (auto image = makeQRImage(invitation_)) {
        QPixmap pixmap = QPixmap::fromImage(*image);
        // On a screen too small for ten pixels a module, the largest whole factor that fits.
        if (auto* screen = QGuiApplication::primaryScreen()) {
            int room = screen->availableGeometry().height() - 360;
            int modules = image->width() / qrPixelsPerModule;
            if (room > 0 && image->height() > room) {
                int perModule = std::max(3, room / modules);
                pixmap = pixmap.scaled(modules * perModule, modules * perModule, Qt::KeepAspectRatio, Qt::FastTransformation);
            }
        }
        pixmap.setDevicePixelRatio(1);
        code->setPixmap(pixmap);
        code->setAlignment(Qt::AlignCenter);
        code->setAutoFillBackground(true);
        QPalette white = code->palette();
        white.setColor(QPalette::Window, Qt::white);
        code->setPalette(white);
        code->setContentsMargins(12, 12, 12, 12);
        code->setAccessibleName("One-time local pairing QR code");
        layout->addWidget(code, 0, Qt::AlignHCenter);
    } else {
        code->deleteLater();
        auto* empty = new QVBoxLayout;
        auto* icon = new QLabel(this);
        icon->setPixmap(themedIcon(Icon::qrCode).pixmap(48, 48));
        icon->setAlignment(Qt::AlignHCenter);
        auto* emptyTitle = wrapped("Could Not Generate QR Code", this);
        QFont f = emptyTitle->font();
        f.setWeight(QFont::DemiBold);
        emptyTitle->setFont(f);
        auto* emptyText = wrapped("Close this window and try again.", this);
        secondary(emptyText);
        empty->addWidget(icon);
        empty->addWidget(emptyTitle);
        empty->addWidget(emptyText);
        layout->addLayout(empty);
    }

    auto* verification = new QVBoxLayout;
    verification->setSpacing(6);
    auto* caption = wrapped("Verification Code", this);
    secondary(caption);
    captionFont(caption);
    auto* digits = wrapped(QString::fromStdString(invitation_.verificationCode()), this);
    digits->setObjectName("verificationCode");
    QFont mono = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    mono.setPointSizeF(font().pointSizeF() * 1.6);
    mono.setWeight(QFont::DemiBold);
    digits->setFont(mono);
    digits->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    digits->setAccessibleName(digits->text());
    verification->addWidget(caption);
    verification->addWidget(digits);
    layout->addLayout(verification);

    auto* countdown = new QHBoxLayout;
    countdownIcon_ = new QLabel(this);
    countdownText_ = new QLabel(this);
    countdownText_->setObjectName("pairingCountdown");
    captionFont(countdownText_);
    countdown->addStretch();
    countdown->addWidget(countdownIcon_);
    countdown->addWidget(countdownText_);
    countdown->addStretch();
    layout->addLayout(countdown);

    auto* note = wrapped(
        "Scanning imports an identity awaiting confirmation. Future connections still require confirmation on this Mac.",
        this);
    secondary(note);
    captionFont(note);
    layout->addWidget(note);

    auto* done = new QPushButton("Done", this);
    done->setObjectName("pairingDone");
    done->setAccessibleName("Done");
    done->setDefault(true);
    done->setAutoDefault(true);
    connect(done, &QPushButton::clicked, this, &QDialog::accept);
    layout->addWidget(done, 0, Qt::AlignHCenter);
    done->setFocus();

    setFixedWidth(std::max(380, layout->sizeHint().width()));
    updateCountdown();
    ticker_.setInterval(1000);
    connect(&ticker_, &QTimer::timeout, this, &PairingInvitationSheet::updateCountdown);
    ticker_.start();
}

void PairingInvitationSheet::updateCountdown() {
    auto now = clock_();
    bool expired = countdown_.expired(now);
    countdownText_->setText(QString::fromStdString(countdown_.text(now)));
    countdownText_->setAccessibleName(countdownText_->text());
    countdownIcon_->setPixmap(themedIcon(expired ? Icon::warning : Icon::timer).pixmap(16, 16));
    QPalette p = countdownText_->palette();
    if (expired) {
        p.setColor(QPalette::WindowText, warningOrange(p.color(QPalette::Window)));
        countdownText_->setForegroundRole(QPalette::WindowText);
    } else {
        countdownText_->setForegroundRole(QPalette::PlaceholderText);
    }
    countdownText_->setPalette(p);
}

}  // namespace vigilorb::app

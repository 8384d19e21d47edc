#include "app/tray.hpp"

#include <QPainter>

#include "app/icons.hpp"

namespace vigilorb::app {

namespace {

// The application icon with the count in a red badge in its lower right corner.
QIcon badged(int count) {
    QIcon base = themedIcon(Icon::application);
    if (count <= 0) return base;
    QIcon icon;
    for (int side : {16, 22, 24, 32, 48, 64}) {
        QPixmap pixmap = base.pixmap(side, side);
        if (pixmap.isNull()) {
            pixmap = QPixmap(side, side);
            pixmap.fill(Qt::transparent);
        }
        QPainter painter(&pixmap);
        painter.setRenderHint(QPainter::Antialiasing);
        const QString label = count > 99 ? QStringLiteral("99+") : QString::number(count);
        const qreal badge = side * 0.62;
        QRectF circle(side - badge, side - badge, badge, badge);
        painter.setPen(Qt::NoPen);
        painter.setBrush(QColor(0xc0, 0x1c, 0x28));
        painter.drawEllipse(circle);
        QFont font = painter.font();
        font.setBold(true);
        font.setPixelSize(static_cast<int>(badge * (label.size() > 1 ? 0.48 : 0.7)));
        painter.setFont(font);
        painter.setPen(Qt::white);
        painter.drawText(circle, Qt::AlignCenter, label);
        painter.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}

}  // namespace

CompanionTray::CompanionTray(Actions actions, QObject* parent) : QObject(parent), actions_(std::move(actions)) {
    auto* show = menu_.addAction("Show Window");
    auto* pair = menu_.addAction("Generate Pairing Code");
    menu_.addSeparator();
    auto* quit = menu_.addAction("Quit");
    connect(show, &QAction::triggered, this, [this] { actions_.showWindow(); });
    connect(pair, &QAction::triggered, this, [this] { actions_.generatePairingCode(); });
    connect(quit, &QAction::triggered, this, [this] { actions_.quit(); });
    icon_.setContextMenu(&menu_);
    connect(&icon_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick) actions_.showWindow();
    });
    setPendingApprovals(0);
    icon_.show();
}

void CompanionTray::setPendingApprovals(int count) {
    if (count == pending_) return;
    pending_ = count;
    icon_.setIcon(badged(count));
    icon_.setToolTip(count == 0   ? QStringLiteral("Tallyloom Companion")
                     : count == 1 ? QStringLiteral("Tallyloom Companion \u00B7 1 approval waiting")
                                  : QStringLiteral("Tallyloom Companion \u00B7 %1 approvals waiting").arg(count));
}

}  // namespace vigilorb::app

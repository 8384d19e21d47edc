#include "app/icons.hpp"

namespace vigilorb::app {

namespace {

struct Entry {
    const char* themeName;
    const char* bundled;  // resource path, or null
};

Entry entry(Icon icon) {
    switch (icon) {
        case Icon::healthy: return {"emblem-ok-symbolic", ":/icons/health-ok.svg"};
        case Icon::unhealthy: return {nullptr, ":/icons/health-waiting.svg"};
        case Icon::lock: return {"changes-prevent-symbolic", ":/icons/lock.svg"};
        case Icon::key: return {"dialog-password-symbolic", nullptr};
        case Icon::shield: return {"security-high-symbolic", nullptr};
        case Icon::phone: return {"phone-symbolic", nullptr};
        case Icon::power: return {"system-shutdown-symbolic", nullptr};
        case Icon::observer: return {"view-reveal-symbolic", nullptr};
        case Icon::code: return {"utilities-terminal-symbolic", nullptr};
        case Icon::sparkles: return {"starred-symbolic", nullptr};
        case Icon::qrCode: return {"image-missing", nullptr};
        case Icon::timer: return {"alarm-symbolic", ":/icons/timer.svg"};
        case Icon::warning: return {nullptr, ":/icons/warning.svg"};
        case Icon::notification: return {"preferences-system-notifications-symbolic", nullptr};
        case Icon::application: return {"com.tarnbrook.VigilorbCompanion", ":/icons/com.tarnbrook.VigilorbCompanion.svg"};
    }
    return {nullptr, nullptr};
}

}  // namespace

QIcon themedIcon(Icon icon) {
    // Without a desktop (a bare X server, Xvfb) Qt looks only in hicolor, which has no
    // symbolic icons; Adwaita, where installed, is the freedesktop theme most desktops carry.
    static const bool themeChosen = [] {
        if (QIcon::themeName().isEmpty() || QIcon::themeName() == "hicolor") QIcon::setThemeName("Adwaita");
        return true;
    }();
    (void)themeChosen;
    auto e = entry(icon);
    // The health marks and the warning carry colour, which symbolic theme icons lack: those
    // always come from the bundle so that healthy and waiting look different everywhere.
    QIcon bundled = e.bundled ? QIcon(QString::fromLatin1(e.bundled)) : QIcon();
    if (!e.themeName || icon == Icon::healthy) return bundled;
    return QIcon::fromTheme(QString::fromLatin1(e.themeName), bundled);
}

QColor alertRed(const QColor& background) {
    return background.lightness() < 128 ? QColor(0xff, 0x7b, 0x63) : QColor(0xc0, 0x1c, 0x28);
}

QColor warningOrange(const QColor& background) {
    return background.lightness() < 128 ? QColor(0xff, 0xa3, 0x48) : QColor(0xd9, 0x6c, 0x00);
}

}  // namespace vigilorb::app

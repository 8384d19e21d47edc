#pragma once
// Icons from the freedesktop icon theme, with bundled SVGs where a desktop may have none.
#include <QColor>
#include <QIcon>

namespace vigilorb::app {

enum class Icon {
    healthy,
    unhealthy,
    lock,
    key,
    shield,
    phone,
    power,
    observer,
    code,
    sparkles,
    qrCode,
    timer,
    warning,
    notification,
    application,
};

QIcon themedIcon(Icon icon);

// Red and orange for failures and warnings, legible on the given background: the dark shades
// read well on a light theme and vanish on a dark one, so a dark background gets light shades.
QColor alertRed(const QColor& background);
QColor warningOrange(const QColor& background);

}  // namespace vigilorb::app

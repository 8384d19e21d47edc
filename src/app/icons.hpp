#pragma once
// Icons from the freedesktop icon theme, with bundled SVGs where a desktop may have none.
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

}  // namespace vigilorb::app

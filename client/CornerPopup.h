// Shows a frameless notice in the bottom right corner of the work area of its owner's screen (the
// primary screen without an owner), fading in from transparent to the given opacity where the
// platform can make windows translucent, else shown at once as it is.
#pragma once

#include <QGuiApplication>
#include <QPropertyAnimation>
#include <QScreen>
#include <QWidget>

// Window platforms that draw a top-level window's opacity; the others (offscreen, minimal,
// wayland, ...) refuse it with a warning at every change.
inline bool platformHasWindowOpacity()
{
    const QString platform = QGuiApplication::platformName();
    return platform == QLatin1String("xcb") || platform == QLatin1String("windows") || platform == QLatin1String("cocoa");
}

inline void showInScreenCorner(QWidget* popup, QWidget* owner, int fadeMs, double opacity)
{
    popup->adjustSize();
    QScreen* screen = owner && owner->screen() ? owner->screen() : QGuiApplication::primaryScreen();
    if (screen) {
        const QRect area = screen->availableGeometry();
        popup->move(area.right() - popup->width() - 8, area.bottom() - popup->height() - 8);
    }
    if (!platformHasWindowOpacity()) {
        popup->show();
        return;
    }
    popup->setWindowOpacity(0.0);
    popup->show();
    auto* fadeIn = new QPropertyAnimation(popup, "windowOpacity", popup);
    fadeIn->setDuration(fadeMs);
    fadeIn->setStartValue(0.0);
    fadeIn->setEndValue(opacity);
    fadeIn->start(QAbstractAnimation::DeleteWhenStopped);
}

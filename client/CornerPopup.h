// Shows a frameless notice in the bottom right corner of the work area of its owner's screen (the
// primary screen without an owner), fading in from transparent to the given opacity.
#pragma once

#include <QGuiApplication>
#include <QPropertyAnimation>
#include <QScreen>
#include <QWidget>

inline void showInScreenCorner(QWidget* popup, QWidget* owner, int fadeMs, double opacity)
{
    popup->adjustSize();
    QScreen* screen = owner && owner->screen() ? owner->screen() : QGuiApplication::primaryScreen();
    if (screen) {
        const QRect area = screen->availableGeometry();
        popup->move(area.right() - popup->width() - 8, area.bottom() - popup->height() - 8);
    }
    popup->setWindowOpacity(0.0);
    popup->show();
    auto* fadeIn = new QPropertyAnimation(popup, "windowOpacity", popup);
    fadeIn->setDuration(fadeMs);
    fadeIn->setStartValue(0.0);
    fadeIn->setEndValue(opacity);
    fadeIn->start(QAbstractAnimation::DeleteWhenStopped);
}

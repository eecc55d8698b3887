#include "AlarmPopup.h"

#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPropertyAnimation>
#include <QScreen>
#include <QStyle>
#include <QTimer>

namespace {

constexpr int kFadeMs = 400;

} // namespace

CAlarmPopup::CAlarmPopup(const QString& text, QWidget* owner)
    : QWidget(nullptr, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint | Qt::WindowDoesNotAcceptFocus),
      m_text(text)
{
    setObjectName(QStringLiteral("AlarmPopup"));
    setAttribute(Qt::WA_DeleteOnClose);
    setAttribute(Qt::WA_ShowWithoutActivating);
    setAutoFillBackground(true);
    QPalette pal = palette();
    pal.setColor(QPalette::Window, QColor(255, 250, 230));
    setPalette(pal);

    auto* icon = new QLabel(this);
    icon->setPixmap(style()->standardIcon(QStyle::SP_MessageBoxWarning).pixmap(32, 32));
    auto* label = new QLabel(text, this);
    label->setObjectName(QStringLiteral("AlarmPopupText"));
    auto* layout = new QHBoxLayout(this);
    layout->addWidget(icon);
    layout->addWidget(label, 1);
    setMinimumWidth(260);
    adjustSize();

    // Bottom right corner of the work area of the owner's screen.
    QScreen* screen = owner && owner->screen() ? owner->screen() : QGuiApplication::primaryScreen();
    if (screen) {
        const QRect area = screen->availableGeometry();
        move(area.right() - width() - 8, area.bottom() - height() - 8);
    }

    setWindowOpacity(0.0);
    show();
    auto* fadeIn = new QPropertyAnimation(this, "windowOpacity", this);
    fadeIn->setDuration(kFadeMs);
    fadeIn->setStartValue(0.0);
    fadeIn->setEndValue(kOpacity);
    fadeIn->start(QAbstractAnimation::DeleteWhenStopped);
    QTimer::singleShot(kAutoCloseMs, this, [this] { fadeOut(); });
}

void CAlarmPopup::fadeOut()
{
    if (m_fade)
        return;
    m_fade = new QPropertyAnimation(this, "windowOpacity", this);
    m_fade->setDuration(kFadeMs);
    m_fade->setStartValue(windowOpacity());
    m_fade->setEndValue(0.0);
    connect(m_fade, &QPropertyAnimation::finished, this, &QWidget::close);
    m_fade->start();
}

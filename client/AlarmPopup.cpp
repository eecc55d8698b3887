#include "AlarmPopup.h"

#include "CornerPopup.h"

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
    icon->setPixmap(style()->standardIcon(QStyle::SP_MessageBoxWarning).pixmap(40, 40));
    auto* label = new QLabel(text, this);
    label->setObjectName(QStringLiteral("AlarmPopupText"));
    QFont font = label->font();
    font.setPointSizeF(font.pointSizeF() * 1.25);
    label->setFont(font);
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(16, 14, 16, 14);
    layout->setSpacing(14);
    layout->addWidget(icon);
    layout->addWidget(label, 1);
    setMinimumSize(300, 90);
    setStyleSheet(QStringLiteral("CAlarmPopup { border: 1px solid rgb(200, 150, 60); }"));
    showInScreenCorner(this, owner, kFadeMs, kOpacity);
    m_closeTimer = new QTimer(this);
    m_closeTimer->setSingleShot(true);
    connect(m_closeTimer, &QTimer::timeout, this, &CAlarmPopup::fadeOut);
    m_closeTimer->start(kAutoCloseMs);
}

void CAlarmPopup::setAutoClose(bool on)
{
    if (on) {
        m_closeTimer->start(kAutoCloseMs);
        return;
    }
    m_closeTimer->stop();
    if (m_fade) {
        m_fade->stop();
        m_fade->deleteLater();
        m_fade = nullptr;
        setWindowOpacity(kOpacity);
    }
}

void CAlarmPopup::enterEvent(QEnterEvent* event)
{
    QWidget::enterEvent(event);
    setAutoClose(false);
}

void CAlarmPopup::leaveEvent(QEvent* event)
{
    QWidget::leaveEvent(event);
    setAutoClose(true);
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

// The desktop alert of a raised alarm: a frameless top-level window in the corner of the work
// area that fades in, shows the device and the alarm time for 3000 ms, fades out and deletes
// itself. The main frame makes one per raised alarm (GUI thread).
#pragma once

#include <QWidget>

class QPropertyAnimation;

class CAlarmPopup : public QWidget {
    Q_OBJECT
public:
    static constexpr int kAutoCloseMs = 3000;
    static constexpr double kOpacity = 180.0 / 255.0;

    // text: "UID\nYYYY-MM-DD hh:mm:ss". Shows itself.
    explicit CAlarmPopup(const QString& text, QWidget* owner = nullptr);

    QString text() const { return m_text; }

private:
    void fadeOut();

    QString m_text;
    QPropertyAnimation* m_fade = nullptr;
};

#pragma once
// The desktop services the client needs from the system, in place of the Windows ones: sounds
// played without waiting (instead of PlaySound), keeping the system awake while the main frame
// lives (instead of SetThreadExecutionState), and the help pages (instead of the CHM files).

#include <QObject>
#include <QString>
#include <QUrl>

// Starts playing a sound installed beside the program ("Alarm.wav", "snap.wav") and returns at
// once. Callable from any thread: the sound is started on the GUI thread. A sound that is still
// playing starts again from the beginning; a missing file plays nothing.
void PlayClientSound(const QString& fileName);

// While an object of this class lives, the desktop is asked not to sleep or blank the screen
// (the freedesktop screen-saver inhibit interface on the session bus). Without a session bus or
// the service nothing happens. GUI thread.
class KeepAwake : public QObject {
    Q_OBJECT
public:
    explicit KeepAwake(QObject* parent = nullptr);
    ~KeepAwake() override;
    bool active() const { return m_cookie != 0; }

private:
    quint32 m_cookie = 0;
};

// The help page for a [Language] language value: the Chinese page when its language code (the
// value without "_LAN") is "CN", the English one otherwise.
QString HelpPageFor(const QString& languageValue);
// The help page for the language in Lumora.ini (default "EN"), as a file URL.
QUrl HelpPageUrl();
// Opens HelpPageUrl() in the desktop's browser; false when nothing could open it.
bool OpenHelp();

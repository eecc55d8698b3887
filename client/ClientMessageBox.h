#pragma once
// Message boxes that never block the thread that shows them: each box is window-modal to its
// owner, opened with open() and deleted when closed. A dialog that may report the same failure
// again (an automatic login every two seconds) keeps its box and reuses it instead of stacking.

#include <QMessageBox>
#include <QPointer>
#include <QString>
#include <functional>

// Shows text with an OK button, owned by parent. A null caption gives the application's name,
// an empty one (QStringLiteral("")) no caption.
QMessageBox* ShowMessage(QWidget* parent, const QString& text, const QString& caption = QString());

// Like ShowMessage, but when box still shows, only its text changes.
QMessageBox* ShowOrUpdateMessage(QPointer<QMessageBox>& box, QWidget* parent, const QString& text,
                                 const QString& caption = QString());

// OK and Cancel; done(true) after OK, done(false) otherwise, on the GUI thread.
QMessageBox* AskOkCancel(QWidget* parent, const QString& text, const QString& caption, std::function<void(bool)> done);

// The object name every client message box carries, so tests and tools can find them.
inline constexpr const char* kMessageBoxName = "LumoraMessageBox";

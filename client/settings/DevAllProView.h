// The host of the device-settings view: a tab control whose tabs are the device pages. The pages
// come with the settings dialogs; until then the view holds one placeholder tab. The main frame
// shows it in the device-property mode and tells it the current device.
#pragma once

#include <QString>
#include <QWidget>
#include <functional>

class QTabWidget;

class DevAllProView : public QWidget {
    Q_OBJECT
public:
    explicit DevAllProView(QWidget* parent = nullptr);

    // Adds a page as a tab (the view owns it).
    void AddPage(QWidget* page, const QString& caption);
    // Stores the UID and asks the active page to request its settings.
    void RefreshActivePage(const QString& uid);
    QString currentUid() const { return m_uid; }
    QTabWidget* tabs() const { return m_tabs; }

    // Called after every tab change with the current UID (the main frame selects the device in
    // the device tree).
    std::function<void(const QString& uid)> onTabChanged;

private:
    QTabWidget* m_tabs;
    QString m_uid;
};

// The device-settings view: one tab per settings area of the current device. The active tab's
// page shows the current device: a tab change and a change of device each ask that one page
// for its document (one request); the other pages keep what they showed until their tab comes
// back.
#pragma once

#include <QString>
#include <QWidget>
#include <functional>
#include <vector>

class DevicePage;
class QTabWidget;

class DevAllProView : public QWidget {
    Q_OBJECT
public:
    explicit DevAllProView(QWidget* parent = nullptr);

    // Stores the UID and loads the active page.
    void RefreshActivePage(const QString& uid);
    QString currentUid() const { return m_uid; }
    QTabWidget* tabs() const { return m_tabs; }
    // The page of tab index; null outside the tabs.
    DevicePage* page(int index) const;
    DevicePage* pageById(int dialogId) const;
    DevicePage* activePage() const;

    // After a tab change, with the current UID (the main frame selects the device in its tree).
    std::function<void(const QString& uid)> onTabChanged;
    // The device's version text from its login, for the device information page.
    std::function<QString(const QString& uid)> deviceVersion;

private:
    void refresh(DevicePage* page);

    QTabWidget* m_tabs;
    std::vector<DevicePage*> m_pages;
    QString m_uid;
};

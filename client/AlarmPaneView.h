// The alarm pane at the bottom of the main frame: one row per alarm that a camera pushed, in
// arrival order, and the same row appended to "Alarm.db". The list starts empty at every start;
// nothing reads the table back.
//
// Thread: GUI. The main frame stores the row on the SDK thread that delivered the alarm
// (AlarmTable::append) and posts AddAlarmRow here.
#pragma once

#include <QWidget>

class QTableWidget;

class CAlarmPaneView : public QWidget {
    Q_OBJECT
public:
    static constexpr int kListId = 3333;

    explicit CAlarmPaneView(QWidget* parent = nullptr);

    // Appends the row to the list, then to "Alarm.db" in the data folder (creating the table
    // when the file is new). A database failure leaves the row in the list.
    void AddAlarm(const QString& uid, const QString& time, const QString& detail);
    // The list part alone.
    void AddAlarmRow(const QString& uid, const QString& time, const QString& detail);
    // Column titles from the current language.
    void RetranslateUi();

    QTableWidget* list() const { return m_list; }

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    QTableWidget* m_list;
};

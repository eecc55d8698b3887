// The local recording plan dialog of the main toolbar: plan recording on or off, overwriting of
// old recordings, the file length and a start and end time for every day and for each weekday.
// The plan is read once, at construction, and OK stores it ([RecPlan] of "Lumora.ini" through
// CAppConfig, when the file exists; the process's plan in any case), so the live view's plan
// worker follows it from its next pass. Made once by the main frame (modeless). GUI thread only.
#pragma once

#include "CAppConfig.h"

#include <QDialog>
#include <array>

class QCheckBox;
class QComboBox;
class QTimeEdit;

class CLocalRecPlanDlg : public QDialog {
    Q_OBJECT
public:
    explicit CLocalRecPlanDlg(QWidget* parent = nullptr);

    // OK: takes the controls into the plan, stores it and hides.
    void accept() override;

    // The file lengths of the length list, in minutes; RecTime is the index.
    static constexpr std::array<int, 6> kLengths = {5, 10, 15, 20, 25, 30};

private:
    struct DayRow {
        QCheckBox* enable = nullptr;
        QTimeEdit* start = nullptr;
        QTimeEdit* end = nullptr;
    };
    // The plan as loaded, edited by OK: a length the list cannot show is kept as it was.
    RecPlan m_plan;
    QCheckBox* m_enable;
    QCheckBox* m_autoCover;
    QComboBox* m_length;
    std::array<DayRow, 8> m_days; // in plan order: every day, Monday .. Sunday
};

// The SD recording page: the card's state and sizes, overwriting when full, the length of one
// recording file and the weekly schedule of "Rec.Conf" (every day, then Sunday to Saturday, two
// periods a row), and formatting the card. The page keeps the document and sends it whole, so the
// keys it does not show ("DiskInfo", "RecMode"...) go back as they came.
//
// Formatting asks first, then waits for the device. A format of a large card outlasts the SDK's
// time-out, so a time-out means "still formatting": the page then asks for the card's state until
// the device answers it (each ask ends at the SDK's time-out), and shows the state it gets; only a
// refusal, a failure answer or kFormatRereads unanswered asks are reported as a failure.
#pragma once

#include "DevicePage.h"

#include <functional>

class QCheckBox;
class QComboBox;
class QLabel;
class QPushButton;
class QTimeEdit;

class ProRecSetDlg : public DevicePage {
    Q_OBJECT
public:
    static constexpr int IDD = 334;
    // Asks of the card's state after a format time-out before the format counts as failed.
    static constexpr int kFormatRereads = 20;
    explicit ProRecSetDlg(QWidget* parent = nullptr);

    // Asked before a format; true goes on. Tests replace the question.
    std::function<bool(const QString& text)> confirm;
    // A format is running (sent, or timed out and the card's state not read yet).
    bool formatting() const { return m_formatting; }

signals:
    // A format ended: 0 the card's state was read again after it; otherwise the failure.
    void formatFinished(int result);

protected:
    void fromJson(const Json::Value& rec) override;
    void toJson(Json::Value& rec) const override;
    void onLoad() override;

private:
    struct Row {
        QCheckBox* enable = nullptr;
        QTimeEdit* times[4] = {}; // "St1", "Ed1", "St2", "Ed2"
    };
    void showDisk(const Json::Value& disk);
    void startFormat();
    void onFormatReply(const QString& uid, int result, const std::string& reply);
    // Reads the card's state again by loading the page; the load's answer ends the format.
    void rereadDisk();
    void onLoaded(int result);
    void endFormat(int result);
    void updateFormatButton();

    QLabel* m_status;
    QLabel* m_capacity;
    QLabel* m_free;
    QCheckBox* m_autoDel;
    QComboBox* m_recMins;
    Row m_rows[8];
    QPushButton* m_format;
    bool m_formatting = false;
    bool m_rereading = false; // the format's answer came (or timed out); a load reads the card
    int m_rereads = 0;
    QString m_formatUid;
};

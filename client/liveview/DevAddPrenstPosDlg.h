// The preset dialog a live video pane opens from its menu: lists the pane's device's preset
// positions, adds one under a name, moves the camera to the one double-clicked and deletes the
// one selected. Modeless; the pane makes it once and keeps it, Cancel hides it.
//
// Every preset keeps the BitID the device reported for it (or confirmed when it was added), and
// go and delete use that id. A new preset takes the lowest id that no listed preset and no add
// still waiting for its reply uses. A delete removes, once the device agrees, the line that was
// selected when it was asked.
//
// Threads: GUI thread only; device replies are posted to it through the dialog's mailbox.
#pragma once

#include <QDialog>
#include <QString>
#include <memory>
#include <set>
#include <string>

class GuiMailbox;
class QLineEdit;
class QListWidget;
class QListWidgetItem;
class QPushButton;

class DevAddPrenstPosDlg : public QDialog {
    Q_OBJECT
public:
    explicit DevAddPrenstPosDlg(QWidget* parent = nullptr);
    ~DevAddPrenstPosDlg() override;

    // Empties the list and asks uid's device for its presets (called at every opening).
    void RequestPresets(const QString& uid);

    void OnBnClickedOk();
    void OnDblclkPresetList();
    void OnBnClickedDelete();

    QString deviceUid() const { return m_deviceUid; }
    int presetCount() const { return m_presetCount; }
    QListWidget* presetList() const { return m_list; }
    QLineEdit* nameEdit() const { return m_name; }
    // The BitID kept for a line of the list (-1 for none).
    int bitIdOf(int row) const;

private:
    void OnPresetList(const QString& uid, int generation, const std::string& text);
    void OnAddReply(const QString& uid, int generation, int result, const std::string& text, int sentId, const QString& name);
    void OnDeleteReply(const QString& uid, int generation, int result, int bitId);
    QListWidgetItem* itemWithId(int bitId) const;
    int freeBitId() const;

    std::shared_ptr<GuiMailbox> m_mailbox;
    QString m_deviceUid;
    int m_presetCount = 0;
    int m_generation = 0;     // the newest listing; replies of an older one are dropped
    std::set<int> m_pendingAdds; // ids sent by adds still waiting for their reply
    QListWidget* m_list = nullptr;
    QLineEdit* m_name = nullptr;
    QPushButton* m_add = nullptr;
    QPushButton* m_cancel = nullptr;
    QPushButton* m_delete = nullptr;
};

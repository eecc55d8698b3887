// The LAN search dialog: finds cameras on the local network through the SDK's search, lets the
// user edit an alias and a password for each (or add one by hand) and stores the checked rows in
// "DevInfo.db", after which the device tree shows and logs into them. Modeless; the device tree
// pane makes it once and shows the same dialog on every request.
//
// Thread: GUI. The search callback runs on the SDK's receiving thread: it reads the answer with
// bounds into a value there and posts the value here.
#pragma once

#include "DevSearchReply.h"

#include <QDialog>
#include <QSet>
#include <memory>

class CDevTreeView;
class GuiMailbox;
class QLabel;
class QPushButton;
class QTableWidget;

class DevSearchDlg : public QDialog {
    Q_OBJECT
public:
    enum Column { Check = 0, Alias, Password, Ip, Mac, Uid, Software, Hardware, ColumnCount };
    static constexpr const char* kDefaultPassword = "qelvo";
    static constexpr int kSearchSeconds = 2;
    // Anyone on the LAN can answer the probe: the list holds at most this many answers (rows made
    // by hand come on top); later answers with new MACs are counted and dropped.
    static constexpr int kMaxSearchRows = 256;

    explicit DevSearchDlg(CDevTreeView* tree, QWidget* parent = nullptr);
    ~DevSearchDlg() override;

    void RetranslateUi();

    // Button 1001: empties the list and starts a search; the button stays disabled until the
    // SDK reports the end of the search.
    void OnSearch();
    // Button 1199: a row to fill in by hand.
    void OnManual();
    // Button 1002: stores the checked rows, adds them to the device tree, hides the dialog.
    void OnAdd();

    // One answer (GUI thread): a new, unticked row unless a row with that MAC is already listed
    // or the list is full. Answers reach here in batches, one queued call per batch.
    void OnSearchAnswer(const DevSearchReply& reply);
    // Answers of the current search dropped because the list was full.
    int droppedAnswers() const { return m_dropped; }
    // The end of the search (GUI thread).
    void OnSearchEnd();

    QTableWidget* list() const { return m_list; }
    QPushButton* searchButton() const { return m_search; }
    QPushButton* manualButton() const { return m_manual; }
    QPushButton* addButton() const { return m_add; }

signals:
    // A device was stored by Add (the device record pane adds a node for it).
    void deviceStored(const QString& uid);

protected:
    void showEvent(QShowEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    struct AnswerQueue;
    void drainAnswers(const std::shared_ptr<AnswerQueue>& queue);
    // Shares the list's visible width among the columns; needs the dialog laid out (shown).
    void fitColumns();
    void setCell(int row, int column, const QString& text, const QColor& background, bool editable);
    void showStoreError(const QString& text);

    CDevTreeView* m_tree;
    std::shared_ptr<GuiMailbox> m_mailbox;
    std::shared_ptr<AnswerQueue> m_answers;  // the current search's; answers of an older one are dropped
    QSet<QString> m_macs;                    // the MACs listed, for a lookup per answer
    int m_searchRows = 0;
    int m_dropped = 0;
    int m_rowCounter = 0;
    QTableWidget* m_list;
    QLabel* m_tip;
    QPushButton* m_search;
    QPushButton* m_manual;
    QPushButton* m_add;
};

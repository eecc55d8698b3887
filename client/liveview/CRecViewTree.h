// The record tree control inside the device record pane. The pane fills the device nodes and the
// first-level folders of a device's card; this control lists the deeper levels when the user
// expands a folder (its subfolders) or a subfolder (its files, asked for in pages of 20, one page
// per paging tick), keeps a table of each file's size value, plays a file on a double-click
// through the main frame, and tells the pane when a page has arrived.
//
// Levels (item data): -1 root, 0 device not yet listed, 4 device listed, 1 folder, 2 subfolder,
// 3 file. Images: 0 root and online device, 1 offline device, 2 folder, 3 the placeholder child
// that gives a node not yet listed its expand button, 4 file.
//
// Every expansion is a listing of its own, with its device, its folder path, its node and its
// paging counters, so listings that overlap (two folders, two devices) never mix; a listing whose
// node is taken away or listed again is forgotten and its late answers are dropped. A listing
// that fails gets its placeholder back, so the node can be expanded (and listed) again.
//
// Thread: GUI. SDK answers come back through the control's mailbox.
#pragma once

#include <QIcon>
#include <QString>
#include <QTreeWidget>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

class CMainFrame;
class GuiMailbox;
class QTimer;

class CRecViewTree : public QTreeWidget {
    Q_OBJECT
public:
    enum ItemData { kRoot = -1, kDevice = 0, kFolder = 1, kSubfolder = 2, kFile = 3, kDeviceListed = 4 };
    enum Image { kImageOnline = 0, kImageOffline = 1, kImageFolder = 2, kImagePlaceholder = 3, kImageFile = 4,
                 kImageCount = 5 };
    static constexpr int kDataRole = Qt::UserRole;
    static constexpr int kImageRole = Qt::UserRole + 1;
    static constexpr int kPageSize = 20;

    explicit CRecViewTree(QWidget* parent = nullptr);
    ~CRecViewTree() override;

    void setFrame(CMainFrame* frame) { m_frame = frame; }
    // Milliseconds between the pages of a subfolder (1000 by default; tests shorten it).
    void setPageIntervalMs(int ms) { m_pageIntervalMs = ms; }

    // The image list: kImageCount pictures of 24 pixels, drawn here.
    static QIcon ImageIcon(int image);
    static int itemData(const QTreeWidgetItem* item);
    static void setItemData(QTreeWidgetItem* item, int data);
    static int image(const QTreeWidgetItem* item);
    static void setImage(QTreeWidgetItem* item, int image);
    // A node with this text, image and item data, appended under parent.
    static QTreeWidgetItem* InsertNode(QTreeWidgetItem* parent, const QString& text, int image, int data);
    // The empty child (image 3, item data 0) that shows an expand button before a listing.
    static void AddPlaceholder(QTreeWidgetItem* node);
    static bool HasOnlyPlaceholder(const QTreeWidgetItem* node);

    // Stores a device's card root path and empties its file table (the pane, on a path answer).
    void SetRootPath(const QString& uid, const std::string& path);
    std::string rootPath(const QString& uid) const;
    // Removes every child of node, forgetting the listings of the removed nodes.
    void RemoveAllChildren(QTreeWidgetItem* node);

    // A folder or subfolder was expanded: lists it and returns true; false for any other node
    // (the pane handles it).
    bool OnItemExpanded(QTreeWidgetItem* item);

    // The size value (sh x 256 + sl) of a device's file from its page entry; 0 when not listed.
    int64_t fileValue(const QString& uid, const QString& name) const;
    // Length in seconds of the selected file from its name; 0 when the selection is not a file.
    int GetRecordLength() const;
    // For a file node: its device (the third parent's text) and its card path
    // (root + "/" + folder + "/" + subfolder + "/" + file). Empty for any other node.
    static QString DeviceOf(const QTreeWidgetItem* file);
    std::string FilePath(const QTreeWidgetItem* file) const;

    // Listings still waiting for an answer or a page.
    int activeListings() const { return static_cast<int>(m_listings.size()); }

signals:
    // After every page answer (the pane stops its busy indicator).
    void recordPageDone();
    // An expansion this control leaves to the pane (device and root nodes).
    void expansionForParent(QTreeWidgetItem* item);

protected:
    void mouseDoubleClickEvent(QMouseEvent* event) override;

private:
    struct Listing {
        QString uid;
        std::string folderPath;
        QTreeWidgetItem* node = nullptr;
        int kind = kFolder;      // the node's item data
        int total = 0;           // entries of a paged subfolder
        int nextStart = 0;       // next page start while paging
        int pagesOutstanding = 0;
        bool inserted = false;   // some entry arrived
        QTimer* timer = nullptr; // paging ticks
    };

    void startListing(QTreeWidgetItem* node, int kind, const QString& uid, const std::string& folderPath);
    void RequestRecPage(int listing, const std::string& path, int start, int count);
    void OnListReply(int listing, int result, const std::string& text);
    void OnRecPageReply(int listing, int result, const std::string& text);
    void OnPageTimer(int listing);
    void finishIfDone(int listing);
    void fail(int listing);
    void forget(int listing);
    void forgetBelow(QTreeWidgetItem* node);

    CMainFrame* m_frame = nullptr;
    std::shared_ptr<GuiMailbox> m_mailbox;
    int m_pageIntervalMs = 1000;
    int m_nextListing = 1;
    std::map<int, Listing> m_listings;
    std::map<QString, std::string> m_rootPaths;
    std::map<QString, std::map<QString, int64_t>> m_fileValues;
};

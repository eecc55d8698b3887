#include "ViewTree.h"

#include "DeviceDatabases.h"
#include "FrameText.h"
#include "GuiMailbox.h"
#include "LoginWorkers.h"
#include "MainFrame.h"
#include "libLumora.h"
#include "liveview/CRealTimePlayView.h"

#include <QDrag>
#include <QKeyEvent>
#include <QMimeData>
#include <QMouseEvent>
#include <QPainter>

namespace {

QIcon stateIcon(int image)
{
    static const QIcon icons[3] = {
        [] {
            QPixmap p(16, 16);
            p.fill(Qt::transparent);
            QPainter g(&p);
            g.setRenderHint(QPainter::Antialiasing);
            g.setBrush(QColor(40, 170, 60));
            g.setPen(QColor(20, 110, 30));
            g.drawEllipse(2, 2, 12, 12);
            return QIcon(p);
        }(),
        [] {
            QPixmap p(16, 16);
            p.fill(Qt::transparent);
            QPainter g(&p);
            g.setRenderHint(QPainter::Antialiasing);
            g.setBrush(QColor(170, 170, 170));
            g.setPen(QColor(110, 110, 110));
            g.drawEllipse(2, 2, 12, 12);
            return QIcon(p);
        }(),
        [] {
            QPixmap p(16, 16);
            p.fill(Qt::transparent);
            QPainter g(&p);
            g.setBrush(QColor(90, 120, 170));
            g.setPen(Qt::NoPen);
            g.drawRect(5, 5, 6, 6);
            return QIcon(p);
        }(),
    };
    return icons[image < 0 || image > 2 ? 1 : image];
}

std::string narrow(const QString& text)
{
    return text.toStdString();
}

} // namespace

CViewTree::CViewTree(QWidget* parent) : QTreeWidget(parent), m_mailbox(GuiMailbox::create(this))
{
    setObjectName(QStringLiteral("DevTree"));
    setHeaderHidden(true);
    setColumnCount(1);
    setRootIsDecorated(true);
    setDragEnabled(true);
    setDragDropMode(QAbstractItemView::DragOnly);
    setSelectionMode(QAbstractItemView::SingleSelection);
}

CViewTree::~CViewTree()
{
    m_mailbox->close();
    LogoutDevices();
}

bool CViewTree::isDeviceNode(const QTreeWidgetItem* item) const
{
    return item && item != root() && item->parent() == root() && item->childCount() > 0;
}

QTreeWidgetItem* CViewTree::findDevice(const QString& uid) const
{
    QTreeWidgetItem* r = root();
    if (!r)
        return nullptr;
    for (int i = 0; i < r->childCount(); ++i)
        if (r->child(i)->text(0) == uid)
            return r->child(i);
    return nullptr;
}

void CViewTree::setImage(QTreeWidgetItem* item, Image img)
{
    item->setIcon(0, stateIcon(img));
    item->setData(0, kImageRole, static_cast<int>(img));
}

int CViewTree::image(const QTreeWidgetItem* item)
{
    return item ? item->data(0, kImageRole).toInt() : -1;
}

int CViewTree::loggedIn(const QTreeWidgetItem* item)
{
    return item ? item->data(0, kLoggedInRole).toInt() : 0;
}

void CViewTree::setLoggedIn(QTreeWidgetItem* item, bool on)
{
    item->setData(0, kLoggedInRole, on ? 1 : 0);
}

void CViewTree::LogoutDevices()
{
    QTreeWidgetItem* r = root();
    if (!r)
        return;
    for (int i = 0; i < r->childCount(); ++i)
        LogoutDev(narrow(r->child(i)->text(0)));
}

void CViewTree::announceCurrent()
{
    QTreeWidgetItem* item = currentItem();
    if (m_frame && isDeviceNode(item)) {
        m_frame->SetCurrentDevice(item->text(0));
        m_frame->ForwardToLiveView(item->text(0));
    }
}

void CViewTree::mousePressEvent(QMouseEvent* event)
{
    QTreeWidget::mousePressEvent(event);
    m_lastPoint = event->position().toPoint();
    announceCurrent();
}

void CViewTree::mouseReleaseEvent(QMouseEvent* event)
{
    QTreeWidget::mouseReleaseEvent(event);
    announceCurrent();
}

void CViewTree::mouseDoubleClickEvent(QMouseEvent* event)
{
    QTreeWidget::mouseDoubleClickEvent(event);
    QTreeWidgetItem* item = currentItem();
    if (!isDeviceNode(item))
        return;
    m_lastPoint = QPoint();
    if (LoginState(narrow(item->text(0))) != 0 && m_frame)
        m_frame->OpenDeviceVideo(item->text(0), 1, QPoint());
}

void CViewTree::keyReleaseEvent(QKeyEvent* event)
{
    if (event->key() == Qt::Key_Escape && m_frame)
        m_frame->ExitFullScreen();
    QTreeWidget::keyReleaseEvent(event);
}

void CViewTree::startDrag(Qt::DropActions)
{
    QTreeWidgetItem* item = currentItem();
    if (!isDeviceNode(item))
        return;
    const QString uid = item->text(0);
    auto* drag = new QDrag(this);
    auto* mime = new QMimeData;
    mime->setData(QString::fromLatin1(CRealTimePlayView::kDeviceMimeType), uid.toUtf8());
    mime->setText(uid);
    drag->setMimeData(mime);
    drag->setPixmap(item->icon(0).pixmap(16, 16));
    const Qt::DropAction done = drag->exec(Qt::CopyAction | Qt::MoveAction | Qt::LinkAction, Qt::CopyAction);
    // Wherever it was released, a completed drag logs the device in; it opens where it was
    // dropped on the live grid, and nowhere when it was dropped elsewhere.
    StartLoginThread(uid, DropPoint(done, drag->target()));
}

QPoint CViewTree::DropPoint(Qt::DropAction done, QObject* target)
{
    for (QObject* o = done == Qt::IgnoreAction ? nullptr : target; o; o = o->parent())
        if (auto* grid = qobject_cast<CRealTimePlayView*>(o))
            return grid->lastDropPoint();
    return QPoint(-1, -1);
}

void CViewTree::StartLoginThread(const QString& uid, QPoint point)
{
    if (!m_workers)
        return;
    std::shared_ptr<GuiMailbox> box = m_mailbox;
    const QString folder = DataDir();
    m_workers->start([box, uid, point, folder] {
        const QString password = DevInfoTable::password(folder, uid);
        if (password.isEmpty())
            return;
        LoginDev(narrow(uid), narrow(password), [box, uid, point](int, int result, std::string, std::string, char*, int) {
            box->post([uid, result, point](QObject* self) { static_cast<CViewTree*>(self)->OnLoginResult(uid, result, point); });
        });
    });
}

void CViewTree::OnLoginResult(const QString& uid, int result, QPoint point)
{
    QTreeWidgetItem* item = findDevice(uid);
    if (!item)
        return; // deleted meanwhile
    setImage(item, result == 0 ? Online : Offline);
    setLoggedIn(item, result == 0);
    if (result == 0 && m_frame)
        m_frame->OpenDeviceVideo(uid, 1, point);
}

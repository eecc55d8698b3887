// How an SDK callback reaches a widget. The SDK calls back on its own threads, possibly long
// after the request (a login answers within 90 s), and possibly after the widget that asked is
// gone. The widget owns a mailbox; callbacks capture the mailbox (a shared_ptr), copy their
// arguments into values and post a queued call through it. The call runs on the widget's (GUI)
// thread; once the widget has closed its mailbox, posts are dropped. Posting never blocks on the
// GUI thread, so it is safe while the GUI thread is itself inside the SDK.
//
//   auto box = m_mailbox;   // std::shared_ptr<GuiMailbox>, made by the widget
//   LoginDev(uid, pw, [box](int, int result, std::string text, std::string uid, char*, int) {
//       box->post([=](QObject* self) { static_cast<CDevTreeView*>(self)->OnLoginResult(result, text, uid); });
//   });
#pragma once

#include <QMetaObject>
#include <QObject>
#include <functional>
#include <memory>
#include <mutex>

class GuiMailbox {
public:
    // The owner's destructor (or its close) must call close() before the owner dies.
    static std::shared_ptr<GuiMailbox> create(QObject* owner) { return std::shared_ptr<GuiMailbox>(new GuiMailbox(owner)); }

    // Queues call(owner) on the owner's thread; false (and nothing queued) once closed.
    // Any thread.
    bool post(std::function<void(QObject*)> call)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_owner == nullptr)
            return false;
        QObject* owner = m_owner;
        QMetaObject::invokeMethod(owner, [owner, c = std::move(call)] { c(owner); }, Qt::QueuedConnection);
        return true;
    }

    // No post reaches the owner after this returns; calls already queued are discarded by Qt
    // when the owner is destroyed. GUI thread.
    void close()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_owner = nullptr;
    }

    bool open() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_owner != nullptr;
    }

private:
    explicit GuiMailbox(QObject* owner) : m_owner(owner) {}

    mutable std::mutex m_mutex;
    QObject* m_owner; // guarded by m_mutex
};

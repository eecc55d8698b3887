#pragma once
// The one road from an SDK thread into the GUI: copy the callback's arguments into values, then
// PostToGui. The work runs later on the GUI thread, and only while the target still exists; the
// calling thread never waits for it (the GUI thread may itself be inside the SDK).

#include <QCoreApplication>
#include <QMetaObject>
#include <QPointer>
#include <utility>

// target must be made on the GUI thread (capture it there, e.g. in the request's callback);
// work(T*) runs on the GUI thread.
template <class T, class Work>
void PostToGui(QPointer<T> target, Work work)
{
    QCoreApplication* app = QCoreApplication::instance();
    if (app == nullptr) {
        return;
    }
    QMetaObject::invokeMethod(
        app,
        [target = std::move(target), work = std::move(work)]() mutable {
            if (target) {
                work(target.data());
            }
        },
        Qt::QueuedConnection);
}

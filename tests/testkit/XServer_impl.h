#pragma once

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QObject>
#include <QThread>

namespace testkit {

template<typename Pred> bool waitUntil(Pred pred, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!pred()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(10);
    }
    return true;
}

// The server a CORVANE_X11_TEST_MAIN test runs under, from inside a test slot.
inline class XServer &serverOf(const QObject *test)
{
    return *static_cast<class XServer *>(test->property("xserver").value<void *>());
}

} // namespace testkit

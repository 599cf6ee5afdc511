#pragma once
// Waits for a condition while the Qt event loop keeps running (timers, queued
// calls), with a deadline instead of a fixed sleep.

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>
#include <functional>

namespace uitest {

inline bool WaitWithEvents(const std::function<bool()>& pred, int limit_ms = 5000) {
    QElapsedTimer clock;
    clock.start();
    while (!pred()) {
        if (clock.elapsed() > limit_ms) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QThread::msleep(1);
    }
    return true;
}

}  // namespace uitest

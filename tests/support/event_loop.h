#pragma once
// Letting the Qt event loop run from a test: for a while, or until something holds.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>

namespace karvex::testing {

// Runs the event loop for a while (e.g. to let a late answer arrive and be dropped).
inline void Spin(int ms) {
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms) QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
}

// Lets events run until `done` holds; false if it never does within a generous bound.
template <typename Pred>
bool WaitUntil(Pred done, int limitMs = 5000) {
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() > limitMs) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return true;
}

}  // namespace karvex::testing

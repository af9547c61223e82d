#pragma once

#include <QString>

#include <functional>

class QObject;

// The desktop session's message bus, as kavrel-r finds it at its start.
//
// Everything that uses the bus (the notices, the keyring, the tray, the
// accessibility bridge) waits on it in the program's one thread; a bus that
// takes a connection and never answers it would hold the program for good.
// So the bus is asked once, on a connection of its own on a thread of its
// own, and given a time to answer; one that does not is not used at all.
namespace SessionBus {

// Milliseconds a bus has to answer at start.
constexpr int AnswerTime = 5000;

// Asks whether the session bus answers (takes a connection and names it)
// within timeout milliseconds, without waiting for it: done is called once,
// in context's thread, with true, or false and the reason.
void probe(int timeout, QObject *context, std::function<void(bool answered, const QString &error)> done);
// From now on, nothing in this process reaches for the session bus: it
// fails at once instead.
void doNotUse();

} // namespace SessionBus

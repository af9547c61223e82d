#include "receiver/sessionbus.h"

#include <QByteArray>
#include <QMetaObject>
#include <QObject>
#include <QPointer>
#include <QTimer>

#include <dbus/dbus.h>

#include <memory>
#include <thread>
#include <utility>

namespace SessionBus {

void probe(int timeout, QObject *context, std::function<void(bool answered, const QString &error)> done)
{
    // Whichever comes first, the answer or the time: said once.
    auto said = std::make_shared<bool>(false);
    auto say = [said, done](bool answered, const QString &error) {
        if (!std::exchange(*said, true))
            done(answered, error);
    };
    const QByteArray address = qgetenv("DBUS_SESSION_BUS_ADDRESS");
    if (address.isEmpty()) {
        // Left to Qt's own ways of finding one.
        QMetaObject::invokeMethod(context, [say] { say(true, QString()); }, Qt::QueuedConnection);
        return;
    }
    QTimer::singleShot(timeout, context, [say, timeout] {
        say(false, QStringLiteral("the session bus did not answer within %1 s").arg(timeout / 1000.0));
    });
    QPointer<QObject> guard(context);
    // The thread may outlive the program's wait: a bus that never answers
    // keeps it for good, and the process ends without it.
    std::thread([guard, say, address, timeout] {
        DBusError failure;
        dbus_error_init(&failure);
        // A private connection, and the bus's Hello asked by hand: the
        // library's own ways (dbus_bus_get, dbus_bus_register) hold locks
        // of the whole process while they wait, and Qt would wait on them.
        bool connected = false;
        if (DBusConnection *connection = dbus_connection_open_private(address.constData(), &failure)) {
            DBusMessage *hello = dbus_message_new_method_call(DBUS_SERVICE_DBUS, DBUS_PATH_DBUS, DBUS_INTERFACE_DBUS,
                                                              "Hello");
            if (DBusMessage *reply = dbus_connection_send_with_reply_and_block(connection, hello, timeout, &failure)) {
                connected = true;
                dbus_message_unref(reply);
            }
            dbus_message_unref(hello);
            dbus_connection_close(connection);
            dbus_connection_unref(connection);
        }
        const QString why = dbus_error_is_set(&failure) ? QString::fromUtf8(failure.message) : QString();
        dbus_error_free(&failure);
        // Back to the context's thread, if it is still there.
        QMetaObject::invokeMethod(
            guard, [say, connected, why] { say(connected, why); }, Qt::QueuedConnection);
    }).detach();
}

void doNotUse()
{
    // An address where nothing can be reached: Qt and the keyring's library
    // fail at once, and none of them starts a bus of its own.
    qputenv("DBUS_SESSION_BUS_ADDRESS", QByteArrayLiteral("unix:path=/dev/null"));
}

} // namespace SessionBus

#include "receiver/sessionbus.h"

#include <QByteArray>

#include <dbus/dbus.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace SessionBus {

bool answers(int timeout, QString *error)
{
    struct Answer {
        std::mutex mutex;
        std::condition_variable done;
        bool answered = false;
        bool connected = false;
        std::string why;
    };
    // Shared with the thread, which may outlive the wait: a bus that never
    // answers keeps it for good, and the process ends without it.
    auto answer = std::make_shared<Answer>();
    const QByteArray address = qgetenv("DBUS_SESSION_BUS_ADDRESS");
    if (address.isEmpty())
        return true; // left to Qt's own ways of finding one
    std::thread([answer, address, timeout] {
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
        const std::string why = dbus_error_is_set(&failure) ? failure.message : std::string();
        dbus_error_free(&failure);
        {
            const std::lock_guard<std::mutex> lock(answer->mutex);
            answer->answered = true;
            answer->connected = connected;
            answer->why = why;
        }
        answer->done.notify_all();
    }).detach();
    std::unique_lock<std::mutex> lock(answer->mutex);
    if (!answer->done.wait_for(lock, std::chrono::milliseconds(timeout), [&] { return answer->answered; })) {
        *error = QStringLiteral("the session bus did not answer within %1 s").arg(timeout / 1000.0);
        return false;
    }
    if (!answer->connected)
        *error = QString::fromStdString(answer->why);
    return answer->connected;
}

void doNotUse()
{
    // An address where nothing can be reached: Qt and the keyring's library
    // fail at once, and none of them starts a bus of its own.
    qputenv("DBUS_SESSION_BUS_ADDRESS", QByteArrayLiteral("unix:path=/dev/null"));
}

} // namespace SessionBus

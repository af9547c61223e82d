// The reference receiver for the benchmark: the least work a receiver can
// do. It reads each datagram from a UDP socket on loopback and, unless told
// --bare, makes one call to the desktop's notification service with the
// datagram as the notice's body. An event loop, as any desktop program has;
// no history, no gate, no conversion.
//
//   refreceiver PORT [--bare]

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QSocketNotifier>
#include <QStringList>
#include <QVariantMap>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: refreceiver PORT [--bare]\n");
        return 2;
    }
    const bool bare = argc > 2 && std::strcmp(argv[2], "--bare") == 0;
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const int size = 4 * 1024 * 1024;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(uint16_t(std::atoi(argv[1])));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        std::perror("refreceiver: bind");
        return 1;
    }
    QDBusConnection bus = QDBusConnection::sessionBus();
    QSocketNotifier notifier(fd, QSocketNotifier::Read);
    QObject::connect(&notifier, &QSocketNotifier::activated, &app, [&] {
        char buffer[65536];
        for (;;) {
            const ssize_t got = recv(fd, buffer, sizeof buffer, 0);
            if (got < 0)
                return;
            if (bare)
                continue;
            QDBusMessage call = QDBusMessage::createMethodCall(
                QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("/org/freedesktop/Notifications"),
                QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("Notify"));
            call << QStringLiteral("refreceiver") << uint(0) << QString() << QStringLiteral("notice")
                 << QString::fromLatin1(buffer, got) << QStringList() << QVariantMap() << int(-1);
            bus.asyncCall(call);
        }
    });
    return app.exec();
}

// Shows what the program puts on the wire: listens on a UDP port and prints
// each datagram, decoded from Shift_JIS (code page 932), on a line of its own.
//
//   udplisten [--address ADDRESS] [--port PORT]   (default 127.0.0.1:21825)

#include "components/shiftjis.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QNetworkDatagram>
#include <QTime>
#include <QUdpSocket>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    qSetMessagePattern(QStringLiteral("udplisten: %{message}"));
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Prints the notification datagrams that arrive."));
    parser.addHelpOption();
    const QCommandLineOption addressOption(QStringLiteral("address"), QStringLiteral("Listen on <address>."),
                                           QStringLiteral("address"), QStringLiteral("127.0.0.1"));
    const QCommandLineOption portOption(QStringLiteral("port"), QStringLiteral("Listen on <port>."),
                                        QStringLiteral("port"), QStringLiteral("21825"));
    parser.addOptions({addressOption, portOption});
    parser.process(app);

    QUdpSocket socket;
    const QHostAddress address(parser.value(addressOption));
    const quint16 port = parser.value(portOption).toUShort();
    if (!socket.bind(address, port, QUdpSocket::ShareAddress | QUdpSocket::ReuseAddressHint)) {
        qCritical("cannot listen on %s:%u: %s", qPrintable(address.toString()), port, qPrintable(socket.errorString()));
        return 1;
    }
    qInfo("listening on %s:%u", qPrintable(address.toString()), port);

    QObject::connect(&socket, &QUdpSocket::readyRead, &socket, [&socket] {
        while (socket.hasPendingDatagrams()) {
            const QNetworkDatagram datagram = socket.receiveDatagram();
            const QString text = fromWindowsShiftJis(datagram.data());
            std::printf("%s  %lld bytes: %s\n", qPrintable(QTime::currentTime().toString(QStringLiteral("HH:mm:ss"))),
                        qlonglong(datagram.data().size()),
                        text.toUtf8().replace("\r\n", "⏎").constData());
            std::fflush(stdout);
        }
    });
    return app.exec();
}

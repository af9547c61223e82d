// A stand-in for the fax product's monitor, for trying the program out and for
// its tests: listens on the fax link's socket, accepts any number of links, and
// passes each line of its standard input to every connected link. It can also
// send a sample reception at an interval.
//
//   faxmonsim [--socket PATH] [--interval SECONDS] [--count N]
//
// What comes while no link is connected is kept for ten seconds, for the
// links that connect then.

#include "components/socketfaxlink.h"
#include "core/linkserver.h"
#include "core/reception.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QSocketNotifier>
#include <QTimer>

#include <unistd.h>

namespace {

// A reception as the fax monitor writes it; now and then one that failed.
QByteArray sampleReception(int number)
{
    static const char *const senders[] = {"株式会社サンプル商事", "山田工務店", "ﾃｽﾄ物産（本社）"};
    const QByteArray received = QDateTime::currentDateTime().toString(QStringLiteral("yyyy:MM:dd HH:mm:ss")).toUtf8();
    const QByteArray tsi = "81 3 1234 " + QByteArray::number(5670 + number % 10);
    const QByteArray callerNumber = "031234" + QByteArray::number(5670 + number % 10);
    const QByteArray pages = QByteArray::number(1 + number % 5);
    const QByteArray error = number % 7 == 6 ? "RSPREC error/got DCN" : "";
    return Reception::fromPost({received, tsi, callerNumber, senders[number % 3], pages, error}).line() + '\n';
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    qSetMessagePattern(QStringLiteral("faxmonsim: %{message}"));
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Fax monitor simulator: passes lines of standard input to the fax links."));
    parser.addHelpOption();
    const QCommandLineOption socketOption(QStringLiteral("socket"), QStringLiteral("Listen at <path>."),
                                          QStringLiteral("path"), SocketFaxLink::defaultSocketPath());
    const QCommandLineOption intervalOption(QStringLiteral("interval"),
                                            QStringLiteral("Send a sample reception every <seconds>."),
                                            QStringLiteral("seconds"));
    const QCommandLineOption countOption(QStringLiteral("count"),
                                         QStringLiteral("Stop the samples after <n> of them."), QStringLiteral("n"));
    parser.addOptions({socketOption, intervalOption, countOption});
    parser.process(app);

    LinkServer monitor;
    LinkServer::Limits limits;
    limits.holdTime = 10000;
    monitor.setLimits(limits);
    QObject::connect(&monitor, &LinkServer::linkConnected, &monitor, [](uint, int links) {
        qInfo("a link connected (%d now)", links);
    });
    QObject::connect(&monitor, &LinkServer::linkLeft, &monitor, [](uint, int links) {
        qInfo("a link went away (%d now)", links);
    });
    const QString path = parser.value(socketOption);
    QString error;
    if (path.isEmpty() || !monitor.listen(path, 0600, &error)) {
        qCritical("cannot listen at %s: %s", qPrintable(path),
                  qPrintable(path.isEmpty() ? QStringLiteral("no runtime folder") : error));
        return 1;
    }
    qInfo("listening at %s", qPrintable(path));

    QByteArray pending;
    QSocketNotifier notifier(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&notifier, &QSocketNotifier::activated, &monitor, [&] {
        char buffer[65536];
        const ssize_t got = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (got <= 0) {
            notifier.setEnabled(false); // end of input: keep serving the links
            return;
        }
        pending.append(buffer, got);
        const qsizetype end = pending.lastIndexOf('\n');
        if (end >= 0) {
            monitor.publish(pending.left(end + 1));
            pending.remove(0, end + 1);
        }
    });

    QTimer samples;
    if (parser.isSet(intervalOption)) {
        const int limit = parser.isSet(countOption) ? parser.value(countOption).toInt() : -1;
        int sent = 0;
        QObject::connect(&samples, &QTimer::timeout, &monitor, [&] {
            if (limit >= 0 && sent >= limit) {
                samples.stop();
                return;
            }
            monitor.publish(sampleReception(sent++));
        });
        samples.start(static_cast<int>(parser.value(intervalOption).toDouble() * 1000));
    }
    return app.exec();
}

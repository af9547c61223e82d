// A stand-in for the fax product's monitor, for trying the program out and for
// its tests: listens on the fax link's socket, accepts any number of links, and
// passes each line of its standard input to every connected link. It can also
// send a sample reception at an interval.
//
//   faxmonsim [--socket PATH] [--interval SECONDS] [--count N]
//
// Lines read while no link is connected are kept for the first one to come.

#include "components/socketfaxlink.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QLocalServer>
#include <QLocalSocket>
#include <QSocketNotifier>
#include <QTimer>

#include <cstdio>
#include <unistd.h>

namespace {

class Monitor : public QObject
{
public:
    explicit Monitor(QObject *parent = nullptr)
        : QObject(parent)
    {
        connect(&m_server, &QLocalServer::newConnection, this, &Monitor::accept);
    }

    bool listen(const QString &path)
    {
        QLocalServer::removeServer(path);
        return m_server.listen(path);
    }

    void send(const QByteArray &line)
    {
        if (m_links.isEmpty()) {
            m_waiting.append(line);
            return;
        }
        for (QLocalSocket *link : std::as_const(m_links))
            link->write(line);
    }

private:
    void accept()
    {
        while (QLocalSocket *link = m_server.nextPendingConnection()) {
            link->setParent(this);
            m_links.append(link);
            std::fprintf(stderr, "faxmonsim: a link connected (%lld now)\n", qlonglong(m_links.size()));
            connect(link, &QLocalSocket::disconnected, this, [this, link] {
                m_links.removeAll(link);
                link->deleteLater();
                std::fprintf(stderr, "faxmonsim: a link went away (%lld now)\n", qlonglong(m_links.size()));
            });
            for (const QByteArray &line : std::exchange(m_waiting, {}))
                link->write(line);
        }
    }

    QLocalServer m_server;
    QList<QLocalSocket *> m_links;
    QList<QByteArray> m_waiting;
};

QByteArray sampleReception(int number)
{
    static const char *const senders[] = {"株式会社サンプル商事", "山田工務店", "ﾃｽﾄ物産（本社）"};
    const QDateTime now = QDateTime::currentDateTime();
    return QStringLiteral("%1,%2,03-1234-%3,%4,%5\n")
        .arg(now.toString(QStringLiteral("yyyy/MM/dd")), now.toString(QStringLiteral("HH:mm:ss")))
        .arg(5670 + number % 10, 4, 10, QLatin1Char('0'))
        .arg(QString::fromUtf8(senders[number % 3]))
        .arg(1 + number % 5)
        .toUtf8();
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
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

    Monitor monitor;
    const QString path = parser.value(socketOption);
    if (!monitor.listen(path)) {
        std::fprintf(stderr, "faxmonsim: cannot listen at %s\n", qPrintable(path));
        return 1;
    }
    std::fprintf(stderr, "faxmonsim: listening at %s\n", qPrintable(path));

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
            monitor.send(pending.left(end + 1));
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
            monitor.send(sampleReception(sent++));
        });
        samples.start(static_cast<int>(parser.value(intervalOption).toDouble() * 1000));
    }
    return app.exec();
}

// kavrel-faxmon: the fax monitor that kavrel-s's fax link connects to.
//
//   kavrel-faxmon [--folder DIR] [--poster USER]... [--link-group GROUP] [--config FILE]
//       serves: links connect at DIR/orvex-monitor.sock, receptions are
//       posted at DIR/post.sock (DIR is /run/kavrel-faxmon unless given);
//       FILE (/etc/kavrel-faxmon.conf) sets up datagrams and MQTT.
//   kavrel-faxmon --post [--folder DIR] RECEIVED SENDER CIDNUMBER CIDNAME PAGES MSG
//       posts one reception, as the fax server's reception hook does.

#include "faxmonitor.h"
#include "relays.h"

#include "components/terminationsignals.h"
#include "components/testdelays.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QLocalSocket>

#include <cstdio>

namespace {

// One post: the fields, each ended by a NUL byte; the monitor answers "OK".
int post(const QString &folder, const QStringList &fields)
{
    if (fields.size() != FaxMonitor::PostFields) {
        std::fprintf(stderr, "kavrel-faxmon: --post takes %d fields, not %lld\n", FaxMonitor::PostFields,
                     qlonglong(fields.size()));
        return 2;
    }
    QByteArray message;
    for (const QString &field : fields)
        message += field.toUtf8().replace('\0', ' ') + '\0';
    QLocalSocket socket;
    socket.connectToServer(folder + QLatin1Char('/') + FaxMonitor::postSocketName());
    if (!socket.waitForConnected(1000)) {
        std::fprintf(stderr, "kavrel-faxmon: the fax monitor is not running (%s)\n", qPrintable(socket.errorString()));
        return 1;
    }
    socket.write(message);
    while (!socket.canReadLine() && socket.waitForReadyRead(1000)) {
    }
    if (socket.readLine(16) != "OK\n") {
        std::fprintf(stderr, "kavrel-faxmon: the fax monitor did not take the reception\n");
        return 1;
    }
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("kavrel-faxmon"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("The fax monitor that kavrel-s connects to."));
    parser.addHelpOption();
    const QCommandLineOption folderOption(QStringLiteral("folder"), QStringLiteral("Where the sockets are."),
                                          QStringLiteral("DIR"), FaxMonitor::defaultFolder());
    const QCommandLineOption posterOption(QStringLiteral("poster"),
                                          QStringLiteral("A user, besides root, who may post receptions."),
                                          QStringLiteral("USER"));
    const QCommandLineOption groupOption(QStringLiteral("link-group"),
                                         QStringLiteral("The group whose members may listen."),
                                         QStringLiteral("GROUP"), QStringLiteral("fax"));
    const QCommandLineOption configOption(QStringLiteral("config"),
                                          QStringLiteral("The relays' configuration (datagrams, MQTT)."),
                                          QStringLiteral("FILE"), Relays::defaultConfigFile());
    const QCommandLineOption postOption(QStringLiteral("post"), QStringLiteral("Post one reception and end."));
    parser.addOptions({folderOption, posterOption, groupOption, configOption, postOption});
    parser.addPositionalArgument(QStringLiteral("fields"),
                                 QStringLiteral("With --post: RECEIVED SENDER CIDNUMBER CIDNAME PAGES MSG"));
    parser.process(app);

    const QString folder = parser.value(folderOption);
    if (parser.isSet(postOption))
        return post(folder, parser.positionalArguments());

    // Stopped (systemctl stop, a package upgrade): its sockets are removed
    // on the way out, and the status is 0.
    quitOnTerminationSignals();
    FaxMonitor monitor;
    monitor.setPostTimeout(TestDelays::value("post", 2000));
    monitor.setRefusalWindow(TestDelays::value("refusals", 60000));
    monitor.setComingsWindow(TestDelays::value("comings", 60000));
    LinkServer::Limits limits = monitor.links().limits();
    limits.holdTime = TestDelays::value("hold", limits.holdTime);
    monitor.links().setLimits(limits);
    QObject::connect(&monitor, &FaxMonitor::failed, &app, [] { QCoreApplication::exit(1); });
    QString error;
    if (!monitor.listen(folder, parser.values(posterOption), parser.value(groupOption), &error)) {
        std::fprintf(stderr, "kavrel-faxmon: %s\n", qPrintable(error));
        return 1;
    }
    std::fprintf(stderr, "kavrel-faxmon: listening in %s\n", qPrintable(folder));
    std::fflush(stderr);

    Relays relays(&FaxMonitor::sayOnStandardError);
    relays.setMaxRetryDelay(TestDelays::value("mqttretry", 30000));
    relays.load(parser.value(configOption));
    QObject::connect(&monitor, &FaxMonitor::received, &relays, &Relays::relay);
    return app.exec();
}

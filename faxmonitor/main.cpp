// kavrel-faxmon: the fax monitor that kavrel-s's fax link connects to.
//
//   kavrel-faxmon [--folder DIR] [--poster USER]... [--link-group GROUP] [--config FILE]
//       serves: links connect at DIR/orvex-monitor.sock, receptions are
//       posted at DIR/post.sock (DIR is /run/kavrel-faxmon unless given);
//       FILE (/etc/kavrel-faxmon.conf) sets up datagrams and MQTT.
//   kavrel-faxmon --post [--folder DIR] RECEIVED SENDER CIDNUMBER CIDNAME PAGES MSG [FILE COMMID [DEVICE DESTINATION]]
//       posts one reception, as the fax server's reception hook does.

#include "faxmonitor/faxmonitor.h"
#include "faxmonitor/logging.h"
#include "faxmonitor/relays.h"

#include "core/monitorprotocol.h"
#include "core/terminationsignals.h"
#include "core/testdelays.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <cstdio>
#include <cstdlib>

namespace {

// One post, as the hook makes it: the monitor answers at once.
int post(const QString &folder, const QStringList &arguments)
{
    if (arguments.size() != MonitorProtocol::PostFields && arguments.size() != MonitorProtocol::ExtendedPostFields
        && arguments.size() != MonitorProtocol::RoutedPostFields) {
        qCCritical(lcPosts, "--post takes %d fields (or %d, or %d), not %lld", MonitorProtocol::PostFields,
                   MonitorProtocol::ExtendedPostFields, MonitorProtocol::RoutedPostFields, qlonglong(arguments.size()));
        return 2;
    }
    QList<QByteArray> fields;
    for (const QString &argument : arguments)
        fields.append(argument.toUtf8());
    QString error;
    if (!MonitorProtocol::post(folder, fields, 2000, &error)) {
        qCCritical(lcPosts).noquote() << error;
        return 1;
    }
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("kavrel-faxmon"));
    QCoreApplication::setApplicationVersion(QStringLiteral(KAVREL_VERSION));
    useJournalMessageFormat();

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("The fax monitor that kavrel-s connects to.\n"
                       "Its sockets are in %1 (the link and the hook's posts); its relays (datagrams, MQTT,\n"
                       "documents) are set up in %2; see kavrel-faxmon(8).")
            .arg(MonitorProtocol::systemFolder(), Relays::defaultConfigFile()));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption folderOption(QStringLiteral("folder"),
                                          QStringLiteral("Where the sockets are (%1).").arg(MonitorProtocol::systemFolder()),
                                          QStringLiteral("DIR"), MonitorProtocol::systemFolder());
    const QCommandLineOption posterOption(QStringLiteral("poster"),
                                          QStringLiteral("A user, besides root, who may post receptions."),
                                          QStringLiteral("USER"));
    const QCommandLineOption groupOption(QStringLiteral("link-group"),
                                         QStringLiteral("The group whose members may listen."),
                                         QStringLiteral("GROUP"), QStringLiteral("fax"));
    const QCommandLineOption configOption(QStringLiteral("config"),
                                          QStringLiteral("The relays' configuration (%1).").arg(Relays::defaultConfigFile()),
                                          QStringLiteral("FILE"), Relays::defaultConfigFile());
    const QCommandLineOption stateOption(QStringLiteral("state-folder"),
                                         QStringLiteral("Where the faxes' shared states are kept (%1).").arg(Relays::defaultStateFolder()),
                                         QStringLiteral("DIR"), Relays::defaultStateFolder());
    const QCommandLineOption postOption(QStringLiteral("post"), QStringLiteral("Post one reception and end."));
    parser.addOptions({folderOption, posterOption, groupOption, configOption, stateOption, postOption, TestDelays::option()});
    parser.addPositionalArgument(QStringLiteral("fields"),
                                 QStringLiteral("With --post: RECEIVED SENDER CIDNUMBER CIDNAME PAGES MSG [FILE COMMID [DEVICE DESTINATION]]"));
    parser.process(app);
    TestDelays::set(parser.value(TestDelays::option().names().first()));

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
        qCCritical(lcLinks).noquote() << error;
        return 1;
    }
    qCInfo(lcLinks).noquote() << QStringLiteral("listening in %1").arg(folder);

    Relays relays;
    relays.setMaxRetryDelay(TestDelays::value("mqttretry", 30000));
    relays.setStateFolder(parser.value(stateOption));
    // What cannot be used is in the journal already; the monitor serves its
    // links all the same.
    QString problems;
    relays.load(parser.value(configOption), &problems);
    if (!relays.linkGroups().isEmpty())
        monitor.setRouting([&relays](const Reception &reception) { return relays.routing().route(reception); },
                           relays.routing().defaultDepartment(), relays.linkGroups());
    QObject::connect(&monitor, &FaxMonitor::received, &relays, &Relays::relay);
    const int status = app.exec();
    // Said and removed on the way out: what the broker has not taken, and
    // the sockets. Then the process ends at once: a host name lookup under
    // way (Qt's or the MQTT library's, each on a thread of its own) is not
    // waited for, however long the name server takes.
    relays.end();
    monitor.close();
    std::fflush(nullptr);
    std::_Exit(status);
}

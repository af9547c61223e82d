// kavrel-s: 受信通知サーバ, the relay of fax receptions to the LAN.
//
//   kavrel-s [--monitor-socket PATH]

#include "components/socketfaxlink.h"
#include "components/udpsender.h"
#include "core/testdelays.h"
#include "gui/earlyoptions.h"
#include "gui/interfacefont.h"
#include "gui/seams.h"
#include "gui/singleinstance.h"
#include "server/notificationserver.h"
#include "ui/appearance.h"
#include "ui/form1.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QTimer>

namespace {

const QString InstanceUnknownMessage =
    QStringLiteral("ほかに起動している受信通知サーバがあるかどうか確かめられませんでした。このまま起動します。");

const QCommandLineOption &monitorOption()
{
    static const QCommandLineOption option(QStringLiteral("monitor-socket"),
                                           QStringLiteral("The system fax monitor's socket, instead of %1.")
                                               .arg(SocketFaxLink::systemSocketPath()),
                                           QStringLiteral("path"));
    return option;
}

void setUpParser(QCommandLineParser *parser)
{
    parser->setApplicationDescription(
        QStringLiteral("受信通知サーバ: passes every fax reception on to the LAN as one UDP datagram.\n"
                       "Its destination is kept in ~/.config/Kavrel.conf; see kavrel-s(1)."));
    parser->addHelpOption();
    parser->addVersionOption();
    parser->addOptions({monitorOption(), TestDelays::option()});
}

} // namespace

int main(int argc, char *argv[])
{
    answerHelpAndVersion(argc, argv, QStringLiteral("kavrel-s"), setUpParser);
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("kavrel-s"));
    QApplication::setApplicationVersion(QStringLiteral(KAVREL_VERSION));
    QApplication::setWindowIcon(programIcon());
    QApplication::setFont(interfaceFont(QApplication::font()));

    QCommandLineParser parser;
    setUpParser(&parser);
    const QCommandLineOption &monitorOption = ::monitorOption();
    parser.process(app);
    if (parser.isSet(monitorOption))
        SocketFaxLink::setSystemSocketPath(parser.value(monitorOption));
    TestDelays::set(parser.value(TestDelays::option().names().first()));

    // A second copy would relay every reception again: it shows the running
    // copy's window instead, and ends.
    SingleInstance instance(QStringLiteral("kavrel-s"));
    int exitStatus = 0;
    QString error;
    switch (instance.claimOrHandOver(&exitStatus, &error)) {
    case SingleInstance::Claim::HeldByAnother:
        return exitStatus;
    case SingleInstance::Claim::Failed:
        Seams::showMessage(nullptr, InstanceUnknownMessage + QStringLiteral("\r\n") + error);
        break;
    case SingleInstance::Claim::Claimed:
        break;
    }

    auto *link = new SocketFaxLink;
    SocketFaxLink::Timing timing;
    timing.connectTimeout = TestDelays::value("connect", timing.connectTimeout);
    timing.connectPause = TestDelays::value("pause", timing.connectPause);
    timing.firstRetryDelay = TestDelays::value("retry", timing.firstRetryDelay);
    link->setTiming(timing);
    Form1 form(link, new UdpSender);
    form.server()->setStartUpWait(TestDelays::value("wait", -1));
    QObject::connect(&instance, &SingleInstance::activationRequested, &form, &Form1::bringToFront);
    // The start-up sequence runs inside the event loop, so that closing the
    // window while it waits ends the program as any close does.
    QTimer::singleShot(0, &form, &Form1::startUp);
    return app.exec();
}

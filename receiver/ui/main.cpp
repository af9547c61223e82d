// kavrel-r: the receiver on each desktop. Shows every fax reception that a
// kavrel-s (or the fax monitor itself) announces on the network as a desktop
// notification, and keeps a history of them.

#include "receiver/ui/presence.h"
#include "receiver/ui/receiverapp.h"

#include "core/terminationsignals.h"
#include "core/testdelays.h"
#include "gui/earlyoptions.h"
#include "gui/interfacefont.h"
#include "gui/seams.h"
#include "gui/singleinstance.h"
#include "receiver/history.h"
#include "receiver/receiversettings.h"

#include <QApplication>
#include <QCommandLineParser>

#include <cstdio>
#include <cstdlib>
#include <sys/stat.h>

namespace {

void setUpParser(QCommandLineParser *parser)
{
    parser->setApplicationDescription(
        QStringLiteral("受信通知クライアント: shows every fax reception announced on the network as a desktop notice.\n"
                       "Settings: %1\nHistory: %2\nFaxes (PDF): %3\nSee kavrel-r(1).")
            .arg(ReceiverSettings::filePath(), History::defaultPath(), History::defaultPath().section(QLatin1Char('/'), 0, -2)
                                                                       + QStringLiteral("/faxes/")));
    parser->addHelpOption();
    parser->addVersionOption();
    parser->addOption(TestDelays::option());
}

} // namespace

int main(int argc, char *argv[])
{
    // Everything it writes (the broker's password in its settings, who faxed
    // in its history) is for the user's eyes only.
    ::umask(077);
    answerHelpAndVersion(argc, argv, QStringLiteral("kavrel-r"), setUpParser);
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("kavrel-r"));
    QApplication::setApplicationVersion(QStringLiteral(KAVREL_VERSION));
    QApplication::setDesktopFileName(QStringLiteral("kavrel-r"));
    // What its boxes are captioned with: its name as the desktop shows it.
    Seams::setCaption(QStringLiteral("受信通知クライアント"));
    QApplication::setWindowIcon(receiverIcon());
    QApplication::setFont(interfaceFont(QApplication::font()));
    // The program lives in the tray or the taskbar: closing a window does
    // not end it.
    QApplication::setQuitOnLastWindowClosed(false);

    QCommandLineParser parser;
    setUpParser(&parser);
    parser.process(app);
    TestDelays::set(parser.value(TestDelays::option().names().first()));

    // A second copy would show every notice twice: it opens the running
    // copy's history instead, and ends.
    SingleInstance instance(QStringLiteral("kavrel-r"));
    int exitStatus = 0;
    QString error;
    switch (instance.claimOrHandOver(&exitStatus, &error)) {
    case SingleInstance::Claim::HeldByAnother:
        return exitStatus;
    case SingleInstance::Claim::Failed:
        Seams::showMessage(nullptr, QStringLiteral("ほかに起動している受信通知クライアントがあるかどうか確かめられませんでした。"
                                                   "このまま起動します。\r\n") + error);
        break;
    case SingleInstance::Claim::Claimed:
        break;
    }

    // The end of a session or a `kill` ends the program as 終了 does, so
    // that what the history has not written yet is written.
    quitOnTerminationSignals();
    ReceiverApp receiver;
    QObject::connect(&instance, &SingleInstance::activationRequested, &receiver, &ReceiverApp::openHistory);
    // Ended before it was up (SIGTERM while the session bus was asked):
    // what came meanwhile is written, and that is all.
    const int status = receiver.start() ? app.exec() : 0;
    // The history is written; then the process ends at once, without
    // waiting for a broker's connection that is stuck on its name server.
    receiver.end();
    std::fflush(nullptr);
    std::_Exit(status);
}

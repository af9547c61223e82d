// kavrel-r: the receiver on each desktop. Shows every fax reception that a
// kavrel-s (or the fax monitor itself) announces on the network as a desktop
// notification, and keeps a history of them.

#include "receiverapp.h"

#include "components/terminationsignals.h"
#include "server/singleinstance.h"
#include "ui/appearance.h"

#include <QApplication>

#include <sys/stat.h>

int main(int argc, char *argv[])
{
    // Everything it writes (the broker's password in its settings, who faxed
    // in its history) is for the user's eyes only.
    ::umask(077);
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("kavrel-r"));
    QApplication::setDesktopFileName(QStringLiteral("kavrel-r"));
    QApplication::setWindowIcon(ReceiverApp::programIcon());
    QApplication::setFont(interfaceFont(QApplication::font()));
    // The program lives in the tray or the taskbar: closing a window does
    // not end it.
    QApplication::setQuitOnLastWindowClosed(false);

    // A second copy would show every notice twice: it opens the running
    // copy's history instead, and ends.
    SingleInstance instance(QStringLiteral("kavrel-r"));
    if (const std::optional<int> status = instance.claimOrHandOver(
            QStringLiteral("ほかに起動している受信通知クライアントがあるかどうか確かめられませんでした。このまま起動します。")))
        return *status;

    // The end of a session or a `kill` ends the program as 終了 does, so
    // that what the history has not written yet is written.
    quitOnTerminationSignals();
    ReceiverApp receiver;
    QObject::connect(&instance, &SingleInstance::activationRequested, &receiver, &ReceiverApp::openHistory);
    receiver.start();
    return app.exec();
}

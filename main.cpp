#include "components/socketfaxlink.h"
#include "components/testdelays.h"
#include "components/udpsender.h"
#include "server/notificationserver.h"
#include "server/singleinstance.h"
#include "ui/appearance.h"
#include "ui/form1.h"

#include <QApplication>
#include <QTimer>


namespace {

const QString InstanceUnknownMessage =
    QStringLiteral("ほかに起動している受信通知サーバがあるかどうか確かめられませんでした。このまま起動します。");

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("kavrel-s"));
    QApplication::setWindowIcon(programIcon());
    QApplication::setFont(interfaceFont(QApplication::font()));

    // A second copy would relay every reception again: it shows the running
    // copy's window instead, and ends.
    SingleInstance instance(QStringLiteral("kavrel-s"));
    if (const std::optional<int> status = instance.claimOrHandOver(InstanceUnknownMessage))
        return *status;

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

#include "components/socketfaxlink.h"
#include "components/udpsender.h"
#include "server/singleinstance.h"
#include "ui/appearance.h"
#include "ui/form1.h"

#include <QApplication>
#include <QTimer>

#include <cstdio>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("kavrel-s"));
    QApplication::setWindowIcon(programIcon());
    QApplication::setFont(interfaceFont(QApplication::font()));

    // A second copy would relay every reception again: it shows the running
    // copy's window instead, and ends.
    SingleInstance instance;
    if (!instance.claim()) {
        if (!instance.activateRunning())
            std::fprintf(stderr, "kavrel-s: another copy is running, but did not answer\n");
        return 0;
    }

    Form1 form(new SocketFaxLink, new UdpSender);
    QObject::connect(&instance, &SingleInstance::activationRequested, &form, &Form1::bringToFront);
    // The start-up sequence runs inside the event loop, so that closing the
    // window while it waits ends the program as any close does.
    QTimer::singleShot(0, &form, &Form1::startUp);
    return app.exec();
}

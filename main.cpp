#include "components/socketfaxlink.h"
#include "components/udpsender.h"
#include "ui/appearance.h"
#include "ui/form1.h"

#include <QApplication>
#include <QTimer>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("kavrel-s"));
    QApplication::setWindowIcon(programIcon());

    Form1 form(new SocketFaxLink, new UdpSender);
    // The start-up sequence runs inside the event loop, so that closing the
    // window while it waits ends the program as any close does.
    QTimer::singleShot(0, &form, &Form1::startUp);
    return app.exec();
}

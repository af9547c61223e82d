// Renders the program's windows to PNG files, so they can be looked at on a
// machine without a desktop:
//
//   QT_QPA_PLATFORM=offscreen screenshot [FOLDER]
//
// writes FOLDER/Form1.png and FOLDER/Dialog_S.png (FOLDER defaults to the current folder).

#include "components/socketfaxlink.h"
#include "components/udpsender.h"
#include "gui/interfacefont.h"
#include "ui/appearance.h"
#include "ui/dialog_s.h"
#include "ui/form1.h"

#include <QApplication>
#include <QDir>

#include <cstdio>

namespace {

bool save(QWidget &window, const QString &folder, const QString &name)
{
    window.show();
    QApplication::processEvents();
    const QString path = QDir(folder).filePath(name + QStringLiteral(".png"));
    if (!window.grab().save(path)) {
        qCritical("screenshot: cannot write %s", qPrintable(path));
        return false;
    }
    std::printf("%s\n", qPrintable(path));
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setWindowIcon(programIcon());
    QApplication::setFont(interfaceFont(QApplication::font()));
    const QString folder = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QDir::currentPath();

    // The window alone: nothing is connected and nothing is sent.
    Form1 form(new SocketFaxLink, new UdpSender);
    bool ok = save(form, folder, QStringLiteral("Form1"));
    // The dialog shows the stored settings of whoever runs this.
    Dialog_S dialog(&form);
    ok = save(dialog, folder, QStringLiteral("Dialog_S")) && ok;
    return ok ? 0 : 1;
}

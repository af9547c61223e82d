// Renders the program's windows to PNG files, so they can be looked at on a
// machine without a desktop:
//
//   QT_QPA_PLATFORM=offscreen screenshot [FOLDER [PICTURE]]
//
// writes FOLDER/Form1.png and FOLDER/Dialog_S.png, and kavrel-r's
// NoticePopup.png (with PICTURE as its first page, when given),
// HistoryWindow.png (sample receptions) and ReceiverSettingsDialog.png
// (FOLDER defaults to the current folder).

#include "components/socketfaxlink.h"
#include "components/udpsender.h"
#include "gui/interfacefont.h"
#include "ui/appearance.h"
#include "ui/dialog_s.h"
#include "ui/form1.h"
#include "receiver/history.h"
#include "receiver/ui/historywindow.h"
#include "receiver/ui/noticepopup.h"
#include "receiver/ui/receiversettingsdialog.h"

#include <QApplication>
#include <QDir>
#include <QTemporaryDir>

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

    NoticePopup popup;
    popup.present(QStringLiteral("FAXを受信しました"),
                  QStringLiteral("差出人：株式会社サンプル商事\n番号：0312345678\n枚数：3枚\n受信時刻：2026/12/07 06:38:44"),
                  true);
    popup.attach(argc > 2 ? QString::fromLocal8Bit(argv[2]) : QString(), true);
    ok = save(popup, folder, QStringLiteral("NoticePopup")) && ok;

    // A history of the window's own, in a folder that goes with it.
    QTemporaryDir historyFolder;
    History history(historyFolder.filePath(QStringLiteral("history.sqlite")));
    if (history.open()) {
        const QDateTime now = QDateTime::currentDateTime();
        const char *const lines[] = {
            "2026/12/07 09:12:05,81 3 1234 5670,0312345670,株式会社サンプル商事,3,OK",
            "2026/12/07 10:40:31,,0312345671,山田工務店,1,RSPREC error/got DCN",
            "2026/12/07 11:02:17,81 6 9876 5432,0698765432,ﾃｽﾄ物産（本社）,12,OK",
        };
        int age = 3;
        for (const char *line : lines)
            history.add(now.addSecs(-60 * age--), QStringLiteral("192.168.1.10"), QString::fromUtf8(line));
        history.flush();
    }
    HistoryWindow historyWindow(&history);
    ok = save(historyWindow, folder, QStringLiteral("HistoryWindow")) && ok;
    // The settings dialog shows the stored settings of whoever runs this.
    ReceiverSettingsDialog settings(ReceiverSettings::load(), [](const ReceiverSettings &, QString *) { return true; });
    ok = save(settings, folder, QStringLiteral("ReceiverSettingsDialog")) && ok;
    return ok ? 0 : 1;
}

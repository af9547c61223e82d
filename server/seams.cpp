#include "server/seams.h"

#include <QMessageBox>

#include <cstdio>
#include <cstdlib>

namespace {

const QString ApplicationTitle = QStringLiteral("kavrel-s");

Seams::MessageBox &messageBoxHook()
{
    static Seams::MessageBox hook;
    return hook;
}

Seams::Exit &exitHook()
{
    static Seams::Exit hook;
    return hook;
}

Seams::Clock &clockHook()
{
    static Seams::Clock hook;
    return hook;
}

} // namespace

namespace Seams {

void showMessage(QWidget *parent, const QString &text)
{
    if (messageBoxHook()) {
        messageBoxHook()(parent, text);
        return;
    }
    QMessageBox box(QMessageBox::NoIcon, ApplicationTitle, text, QMessageBox::Ok, parent);
    box.exec();
}

void exitProcess(int status)
{
    if (exitHook()) {
        exitHook()(status);
        return;
    }
    std::fflush(nullptr);
    std::_Exit(status);
}

QTime timeOfDay()
{
    return clockHook() ? clockHook()() : QTime::currentTime();
}

void setMessageBox(MessageBox messageBox) { messageBoxHook() = std::move(messageBox); }
void setExit(Exit exit) { exitHook() = std::move(exit); }
void setClock(Clock clock) { clockHook() = std::move(clock); }

} // namespace Seams

#include "gui/seams.h"

#include <QCoreApplication>
#include <QMessageBox>

#include <cstdio>
#include <cstdlib>

namespace {

Seams::MessageBox &messageBoxHook()
{
    static Seams::MessageBox hook;
    return hook;
}

Seams::Confirm &confirmHook()
{
    static Seams::Confirm hook;
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
    QMessageBox box(QMessageBox::NoIcon, QCoreApplication::applicationName(), text, QMessageBox::Ok, parent);
    box.exec();
}

bool confirm(QWidget *parent, const QString &question)
{
    if (confirmHook())
        return confirmHook()(parent, question);
    QMessageBox box(QMessageBox::Question, QCoreApplication::applicationName(), question,
                    QMessageBox::Ok | QMessageBox::Cancel, parent);
    box.setDefaultButton(QMessageBox::Cancel);
    return box.exec() == QMessageBox::Ok;
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
void setConfirm(Confirm confirm) { confirmHook() = std::move(confirm); }
void setExit(Exit exit) { exitHook() = std::move(exit); }
void setClock(Clock clock) { clockHook() = std::move(clock); }

} // namespace Seams

#include "gui/seams.h"

#include <QCoreApplication>
#include <QFileDialog>
#include <QInputDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QSet>

#include <cstdio>
#include <cstdlib>

namespace {

Seams::MessageBox &messageBoxHook()
{
    static Seams::MessageBox hook;
    return hook;
}

Seams::Notice &noticeHook()
{
    static Seams::Notice hook;
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

Seams::ChooseFile &chooseFileHook()
{
    static Seams::ChooseFile hook;
    return hook;
}

Seams::AskText &askTextHook()
{
    static Seams::AskText hook;
    return hook;
}

QString &captionText()
{
    static QString text;
    return text;
}

QString caption()
{
    return captionText().isEmpty() ? QCoreApplication::applicationName() : captionText();
}

} // namespace

namespace Seams {

void setCaption(const QString &caption)
{
    captionText() = caption;
}

QString chooseFile(QWidget *parent, const QString &title, const QString &start, const QString &filter)
{
    if (chooseFileHook())
        return chooseFileHook()(parent, title, start, filter);
    return QFileDialog::getOpenFileName(parent, title, start, filter);
}

void setChooseFile(ChooseFile chooseFile)
{
    chooseFileHook() = std::move(chooseFile);
}

bool askText(QWidget *parent, const QString &question, QString *text)
{
    if (askTextHook())
        return askTextHook()(parent, question, text);
    bool ok = false;
    const QString given = QInputDialog::getText(parent, caption(), question, QLineEdit::Normal, *text, &ok);
    if (ok)
        *text = given;
    return ok;
}

void setAskText(AskText askText)
{
    askTextHook() = std::move(askText);
}

void showMessage(QWidget *parent, const QString &text)
{
    if (messageBoxHook()) {
        messageBoxHook()(parent, text);
        return;
    }
    QMessageBox box(QMessageBox::NoIcon, caption(), text, QMessageBox::Ok, parent);
    box.exec();
}

void showNotice(QWidget *parent, const QString &text)
{
    if (noticeHook()) {
        noticeHook()(parent, text);
        return;
    }
    static QSet<QString> showing;
    if (showing.contains(text))
        return;
    auto *box = new QMessageBox(QMessageBox::Warning, caption(), text, QMessageBox::Ok, parent);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::NonModal);
    showing.insert(text);
    QObject::connect(box, &QObject::destroyed, [text] { showing.remove(text); });
    box->show();
}

bool confirm(QWidget *parent, const QString &question)
{
    if (confirmHook())
        return confirmHook()(parent, question);
    QMessageBox box(QMessageBox::Question, caption(), question,
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
void setNotice(Notice notice) { noticeHook() = std::move(notice); }
void setExit(Exit exit) { exitHook() = std::move(exit); }
void setClock(Clock clock) { clockHook() = std::move(clock); }

} // namespace Seams

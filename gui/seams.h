#pragma once

#include <QString>
#include <QTime>

#include <functional>

class QWidget;

// The few places where a program meets the user or the system in ways a
// test must not: modal message boxes, ending the process, and the time of
// day. Tests replace them; an empty function restores the real one.
namespace Seams {

using MessageBox = std::function<void(QWidget *parent, const QString &text)>;
using Notice = std::function<void(QWidget *parent, const QString &text)>;
using Confirm = std::function<bool(QWidget *parent, const QString &question)>;
using Exit = std::function<void(int status)>;
using Clock = std::function<QTime()>;
using ChooseFile = std::function<QString(QWidget *parent, const QString &title, const QString &start, const QString &filter)>;
using AskText = std::function<bool(QWidget *parent, const QString &question, QString *text)>;

// Every message box the program shows: modal, OK only, captioned with the
// program's name ("kavrel-s").
void showMessage(QWidget *parent, const QString &text);
// A problem found in the background, told without a modal loop: a box
// that waits for no answer (the same text is shown once at a time).
void showNotice(QWidget *parent, const QString &text);
// A question before something that cannot be undone: OK or Cancel.
bool confirm(QWidget *parent, const QString &question);
// Ends the process at once: nothing more runs, no window is closed.
void exitProcess(int status);
// The local time of day.
QTime timeOfDay();
// A file the user chooses to open (a file dialog); empty when none.
QString chooseFile(QWidget *parent, const QString &title, const QString &start, const QString &filter);

// A line of text the user gives (text holds what stands, and what was
// given); false when the user cancelled.
bool askText(QWidget *parent, const QString &question, QString *text);

// The caption of the boxes above: the program's name unless set.
void setCaption(const QString &caption);

void setMessageBox(MessageBox messageBox);
void setNotice(Notice notice);
void setConfirm(Confirm confirm);
void setExit(Exit exit);
void setClock(Clock clock);
void setChooseFile(ChooseFile chooseFile);
void setAskText(AskText askText);

} // namespace Seams

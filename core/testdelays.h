#pragma once

#include <QCommandLineOption>
#include <QString>

// The test suite runs the real programs many times; what they would wait
// for real (kavrel-s's two seconds at start, the fax link's second of connect
// attempts, the monitor's post timeout) it shortens with an option:
//
//   --test-delays wait=0,connect=200,post=300
//
// Milliseconds, by name. Not a setting: nothing the program does changes but
// how long it waits.
namespace TestDelays {

// The option, as every program takes it.
QCommandLineOption option();
// Takes the option's value.
void set(const QString &given);
// The delay given for name, or fallback.
int value(const char *name, int fallback);

} // namespace TestDelays

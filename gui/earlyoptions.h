#pragma once

#include <QString>

#include <functional>

class QCommandLineParser;

// Answers --help and --version before a window system is asked for, so that
// a desktop program answers them anywhere, with a display or none; then
// returns. Only these two: the window system's own options (-session when a
// session is restored, -display, ...) are left for QApplication to take.
void answerHelpAndVersion(int &argc, char **argv, const QString &name,
                          const std::function<void(QCommandLineParser *parser)> &setUpParser);

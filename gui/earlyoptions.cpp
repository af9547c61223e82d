#include "gui/earlyoptions.h"

#include <QCommandLineParser>
#include <QCoreApplication>

void answerHelpAndVersion(int &argc, char **argv, const QString &name,
                          const std::function<void(QCommandLineParser *parser)> &setUpParser)
{
    QCoreApplication early(argc, argv);
    QCoreApplication::setApplicationName(name);
    QCoreApplication::setApplicationVersion(QStringLiteral(KAVREL_VERSION));
    QCommandLineParser parser;
    setUpParser(&parser);
    if (!parser.parse(early.arguments()))
        return;
    if (parser.isSet(QStringLiteral("help")))
        parser.showHelp(0);
    if (parser.isSet(QStringLiteral("version")))
        parser.showVersion();
}

// A stand-in for the fax product's monitor, for trying the program out and for
// its tests: listens on the fax link's socket, accepts any number of links, and
// passes each line of its standard input to every connected link. It can also
// send a sample reception at an interval.
//
//   faxmonsim [--socket PATH] [--interval SECONDS] [--count N]
//
// What comes while no link is connected is kept for ten seconds, for the
// links that connect then.
//
// Or a stand-in for the fax server in front of the real fax monitor: each
// sample is posted as HylaFAX's hook posts it (kavrel-faxmon --post), with a
// copy of a received fax in the spool's recvq when one is given.
//
//   faxmonsim --post-to FOLDER [--faxmon PATH] [--spool DIR --fax TIFF]
//             [--interval SECONDS] [--count N]

#include "components/socketfaxlink.h"
#include "core/linkserver.h"
#include "core/reception.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSocketNotifier>
#include <QTimer>

#include <unistd.h>

namespace {

// A reception's fields as HylaFAX gives them; now and then one that failed.
QList<QByteArray> sampleFields(int number, int pages)
{
    static const char *const senders[] = {"株式会社サンプル商事", "山田工務店", "ﾃｽﾄ物産（本社）"};
    const QByteArray received = QDateTime::currentDateTime().toString(QStringLiteral("yyyy:MM:dd HH:mm:ss")).toUtf8();
    const QByteArray tsi = "81 3 1234 " + QByteArray::number(5670 + number % 10);
    const QByteArray callerNumber = "031234" + QByteArray::number(5670 + number % 10);
    const QByteArray error = number % 7 == 6 ? "RSPREC error/got DCN" : "";
    return {received, tsi, callerNumber, senders[number % 3], QByteArray::number(pages > 0 ? pages : 1 + number % 5), error};
}

// A reception as the fax monitor writes it.
QByteArray sampleReception(int number)
{
    return Reception::fromPost(sampleFields(number, 0)).line() + '\n';
}

// Posts sample receptions to a fax monitor as the fax server's hook does.
class Poster : public QObject
{
public:
    explicit Poster(const QString &folder, const QString &faxmon, QObject *parent = nullptr)
        : QObject(parent)
        , m_folder(folder)
        , m_faxmon(faxmon)
    {
    }

    // Each sample comes with a copy of fax, received into spool's recvq.
    bool setFax(const QString &spool, const QString &fax, QString *error)
    {
        m_spool = spool;
        m_fax = fax;
        if (!QDir().mkpath(spool + QStringLiteral("/recvq"))) {
            *error = QStringLiteral("cannot make %1/recvq").arg(spool);
            return false;
        }
        if (!QFile::exists(fax)) {
            *error = QStringLiteral("there is no %1").arg(fax);
            return false;
        }
        return true;
    }

    void post(int number)
    {
        QList<QByteArray> fields = sampleFields(number, m_fax.isEmpty() ? 0 : 3);
        if (!m_fax.isEmpty()) {
            const QString file = QStringLiteral("recvq/fax%1.tif").arg(number + 1, 5, 10, QLatin1Char('0'));
            const QString path = m_spool + QLatin1Char('/') + file;
            QFile::remove(path);
            if (!QFile::copy(m_fax, path) || !QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner))
                qWarning("cannot copy %s to %s", qPrintable(m_fax), qPrintable(path));
            fields << file.toUtf8() << QStringLiteral("%1").arg(number + 1, 9, 10, QLatin1Char('0')).toUtf8();
        }
        QStringList arguments{QStringLiteral("--post"), QStringLiteral("--folder"), m_folder, QStringLiteral("--")};
        for (const QByteArray &field : std::as_const(fields))
            arguments.append(QString::fromUtf8(field));
        // As the hook does: the post runs beside, and says when it failed.
        auto *process = new QProcess(this);
        process->setProcessChannelMode(QProcess::ForwardedChannels);
        connect(process, &QProcess::finished, this, [process, number](int code, QProcess::ExitStatus status) {
            if (status != QProcess::NormalExit || code != 0)
                qWarning("sample %d: the fax monitor did not take it", number + 1);
            else
                qInfo("sample %d posted", number + 1);
            process->deleteLater();
        });
        connect(process, &QProcess::errorOccurred, this, [this, process](QProcess::ProcessError error) {
            if (error == QProcess::FailedToStart) {
                qWarning("cannot run %s", qPrintable(m_faxmon));
                process->deleteLater();
            }
        });
        process->start(m_faxmon, arguments);
    }

private:
    QString m_folder;
    QString m_faxmon;
    QString m_spool;
    QString m_fax;
};

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    qSetMessagePattern(QStringLiteral("faxmonsim: %{message}"));
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Fax monitor simulator: passes lines of standard input to the fax links."));
    parser.addHelpOption();
    const QCommandLineOption socketOption(QStringLiteral("socket"), QStringLiteral("Listen at <path>."),
                                          QStringLiteral("path"), SocketFaxLink::defaultSocketPath());
    const QCommandLineOption intervalOption(QStringLiteral("interval"),
                                            QStringLiteral("Send a sample reception every <seconds>."),
                                            QStringLiteral("seconds"));
    const QCommandLineOption countOption(QStringLiteral("count"),
                                         QStringLiteral("Stop the samples after <n> of them."), QStringLiteral("n"));
    const QCommandLineOption postOption(QStringLiteral("post-to"),
                                        QStringLiteral("Post the samples to the fax monitor listening in <folder>, as the "
                                                       "fax server's hook does, instead of serving fax links."),
                                        QStringLiteral("folder"));
    const QCommandLineOption faxmonOption(QStringLiteral("faxmon"), QStringLiteral("The fax monitor that posts."),
                                          QStringLiteral("path"), QStringLiteral("kavrel-faxmon"));
    const QCommandLineOption spoolOption(QStringLiteral("spool"),
                                         QStringLiteral("With --fax: the fax server's spool, whose recvq gets each sample's fax."),
                                         QStringLiteral("folder"));
    const QCommandLineOption faxOption(QStringLiteral("fax"), QStringLiteral("A received fax (TIFF) for each sample."),
                                       QStringLiteral("file"));
    parser.addOptions({socketOption, intervalOption, countOption, postOption, faxmonOption, spoolOption, faxOption});
    parser.process(app);

    const int limit = parser.isSet(countOption) ? parser.value(countOption).toInt() : -1;
    const int interval = static_cast<int>(parser.value(intervalOption).toDouble() * 1000);
    if (parser.isSet(postOption)) {
        Poster poster(parser.value(postOption), parser.value(faxmonOption));
        QString error;
        if (parser.isSet(faxOption) && !poster.setFax(parser.value(spoolOption), parser.value(faxOption), &error)) {
            qCritical("%s", qPrintable(error));
            return 1;
        }
        if (!parser.isSet(intervalOption)) {
            qCritical("--post-to needs --interval");
            return 1;
        }
        int sent = 0;
        QTimer samples;
        QObject::connect(&samples, &QTimer::timeout, &poster, [&] {
            if (limit >= 0 && sent >= limit)
                samples.stop();
            else
                poster.post(sent++);
        });
        samples.start(interval);
        return app.exec();
    }

    LinkServer monitor;
    LinkServer::Limits limits;
    limits.holdTime = 10000;
    monitor.setLimits(limits);
    QObject::connect(&monitor, &LinkServer::linkConnected, &monitor, [](uint, int links) {
        qInfo("a link connected (%d now)", links);
    });
    QObject::connect(&monitor, &LinkServer::linkLeft, &monitor, [](uint, int links) {
        qInfo("a link went away (%d now)", links);
    });
    const QString path = parser.value(socketOption);
    QString error;
    if (path.isEmpty() || !monitor.listen(path, 0600, &error)) {
        qCritical("cannot listen at %s: %s", qPrintable(path),
                  qPrintable(path.isEmpty() ? QStringLiteral("no runtime folder") : error));
        return 1;
    }
    qInfo("listening at %s", qPrintable(path));

    QByteArray pending;
    QSocketNotifier notifier(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&notifier, &QSocketNotifier::activated, &monitor, [&] {
        char buffer[65536];
        const ssize_t got = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (got <= 0) {
            notifier.setEnabled(false); // end of input: keep serving the links
            return;
        }
        pending.append(buffer, got);
        const qsizetype end = pending.lastIndexOf('\n');
        if (end >= 0) {
            monitor.publish(pending.left(end + 1));
            pending.remove(0, end + 1);
        }
    });

    QTimer samples;
    if (parser.isSet(intervalOption)) {
        int sent = 0;
        QObject::connect(&samples, &QTimer::timeout, &monitor, [&] {
            if (limit >= 0 && sent >= limit) {
                samples.stop();
                return;
            }
            monitor.publish(sampleReception(sent++));
        });
        samples.start(interval);
    }
    return app.exec();
}

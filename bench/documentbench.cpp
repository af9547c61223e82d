// The received fax on its way to the desk: from the post the fax server's
// hook makes until kavrel-r's notice can open the PDF (the monitor's
// tiff2pdf, its reader of the fax and pdfinfo, a local mosquitto, kavrel-r keeping the files), for
// faxes of 1, 10 and 50 pages; the monitor's peak memory, and its tools',
// while it converts; and the notice's own latency with documents off and on
// (the same run, the same receiver). The bench stands for the desktop's
// notification service on a private session bus.
//
//   documentbench [--quick]
//
// Run by ./run-bench. Not part of the tests.

#include "receiversupport.h"
#include "testsupport.h"

#include <QApplication>
#include <QDBusConnection>
#include <QStandardPaths>

#include <pwd.h>

using namespace bench;

namespace {

// The fax monitor, as the service runs it, in a folder of its own.
class Monitor
{
public:
    Monitor(const QString &folder, const QByteArray &config)
        : m_folder(folder)
    {
        QFile file(folder + QStringLiteral("/faxmon.conf"));
        if (file.open(QIODevice::WriteOnly))
            file.write(config);
        file.close();
        QObject::connect(&m_process, &QProcess::readyReadStandardError, &m_process,
                         [this] { m_said += m_process.readAllStandardError(); });
        m_process.start(QStringLiteral(FAX_MONITOR), {QStringLiteral("--folder"), folder + QStringLiteral("/monitor"),
                                                      QStringLiteral("--link-group"), QString(), QStringLiteral("--config"),
                                                      file.fileName()});
        processUntil([this] { return m_said.contains("connected to the broker"); }, 10000);
    }
    ~Monitor()
    {
        m_process.terminate();
        m_process.waitForFinished();
    }
    qint64 pid() const { return m_process.processId(); }
    QString folder() const { return m_folder + QStringLiteral("/monitor"); }

private:
    QString m_folder;
    QProcess m_process;
    QByteArray m_said;
};

// The largest resident memory of the monitor's tools, as seen every few
// milliseconds while they run (they live for a moment only).
class ToolMemory
{
public:
    explicit ToolMemory(qint64 monitor)
        : m_monitor(monitor)
    {
    }
    void sample()
    {
        QFile children(QStringLiteral("/proc/%1/task/%1/children").arg(m_monitor));
        if (!children.open(QIODevice::ReadOnly))
            return;
        for (const QByteArray &child : children.readAll().split(' ')) {
            // A tool once it runs (a child just forked is still the monitor).
            QFile comm(QStringLiteral("/proc/%1/comm").arg(QString::fromLatin1(child.trimmed())));
            if (child.trimmed().isEmpty() || !comm.open(QIODevice::ReadOnly))
                continue;
            const QByteArray name = comm.readAll().trimmed();
            if (name == "tiff2pdf" || name == "kavrel-faxpage" || name == "pdfinfo")
                peakKb = std::max(peakKb, statusKb(pid_t(child.trimmed().toLongLong()), "VmHWM:"));
        }
    }
    long peakKb = 0;

private:
    qint64 m_monitor;
};

QString userName()
{
    const passwd *user = getpwuid(geteuid());
    return user ? QString::fromLocal8Bit(user->pw_name) : QString();
}

bool makeFax(const QString &path, int pages)
{
    return QProcess::execute(QStringLiteral(MAKE_SAMPLE_FAX), {path, QString::number(pages)}) == 0;
}

// Posts sample number as the hook does, with recvq/name as its fax.
bool post(const Monitor &monitor, int sample, const QString &name)
{
    const QByteArray caller = "B" + QByteArray::number(sample);
    QList<QByteArray> fields{"2026:12:07 06:38:44", "81 3 1234 5678", "0312345678", caller, "1", ""};
    if (!name.isEmpty())
        fields << "recvq/" + name.toUtf8() << QByteArray::number(100000000 + sample);
    QString error;
    return MonitorProtocol::post(monitor.folder(), fields, 2000, &error);
}

} // namespace

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const bool quick = argc > 1 && std::strcmp(argv[1], "--quick") == 0;
    for (const char *tool : {"tiff2pdf", "pdfinfo"}) {
        if (QStandardPaths::findExecutable(QLatin1String(tool)).isEmpty()) {
            std::fprintf(stderr, "documentbench: %s is not installed (libtiff-tools, poppler-utils)\n", tool);
            return 1;
        }
    }
    TestSupport::TestBroker broker;
    TestSupport::SessionBus sessionBus;
    const QString bus = sessionBus.start();
    if (!broker.missing().isEmpty() || !broker.start() || bus.isEmpty()) {
        std::fprintf(stderr, "documentbench: no broker (mosquitto) or no session bus (dbus-daemon)\n");
        return 1;
    }
    Notices notices;
    QDBusConnection connection = QDBusConnection::connectToBus(bus, QStringLiteral("bench"));
    connection.registerObject(QStringLiteral("/org/freedesktop/Notifications"), &notices, QDBusConnection::ExportAllSlots);
    connection.registerService(QStringLiteral("org.freedesktop.Notifications"));

    QTemporaryDir work;
    const QString spool = work.filePath(QStringLiteral("spool"));
    QDir().mkpath(spool + QStringLiteral("/recvq"));
    const QByteArray mqtt = "[MQTT]\nBroker=" + broker.url().toUtf8() + "\nUser=" + broker.user().toUtf8()
        + "\nPasswordFile=" + QFile::encodeName(work.filePath(QStringLiteral("password"))) + "\n";
    {
        QFile password(work.filePath(QStringLiteral("password")));
        if (password.open(QIODevice::WriteOnly))
            password.write(broker.password().toUtf8());
    }
    const QByteArray documents = "[Documents]\nPublish=true\nSpool=" + QFile::encodeName(spool) + "\nFaxUser="
        + userName().toUtf8() + "\n";
    Receiver receiver(QStringLiteral(KAVREL_RECEIVER), {QStringLiteral("--test-delays"), QStringLiteral("gather=0")}, bus,
                      freePort(),
                      "[MQTT]\nBroker=" + broker.url().toUtf8() + "\nUser=" + broker.user().toUtf8() + "\nPassword="
                          + broker.password().toUtf8() + "\nDocuments=true\n");
    processUntil([&] { return receiver.said().contains("connected to the broker"); }, 10000);

    int sample = 0;
    const int runs = quick ? 2 : 5;
    struct Row {
        int pages;
        std::pair<double, double> notice, opens;
        size_t lost = 0;
    };
    std::vector<Row> rows;
    long monitorPeakKb = 0;
    long toolsPeakKb = 0;
    long monitorIdleKb = 0;
    {
        Monitor monitor(work.path(), mqtt + documents);
        monitorIdleKb = statusKb(pid_t(monitor.pid()), "VmRSS:");
        ToolMemory tools(monitor.pid());
        for (int pages : {1, 10, 50}) {
            const QString fax = work.filePath(QStringLiteral("sample-%1.tif").arg(pages));
            makeFax(fax, pages);
            Row row;
            row.pages = pages;
            std::vector<double> notice, opens;
            for (int run = 0; run < runs; ++run) {
                const int number = ++sample;
                const QString name = QStringLiteral("fax%1.tif").arg(number, 5, 10, QLatin1Char('0'));
                QFile::copy(fax, spool + QStringLiteral("/recvq/") + name);
                const auto posted = Clock::now();
                if (!post(monitor, number, name)
                    || !processUntil(
                        [&] {
                            tools.sample();
                            return notices.opens.count(number) > 0;
                        },
                        60000)) {
                    ++row.lost;
                    continue;
                }
                notice.push_back(millisecondsBetween(posted, notices.arrived[number]));
                opens.push_back(millisecondsBetween(posted, notices.opens[number]));
            }
            row.notice = percentiles(notice);
            row.opens = percentiles(opens);
            rows.push_back(row);
        }
        monitorPeakKb = statusKb(pid_t(monitor.pid()), "VmHWM:");
        toolsPeakKb = tools.peakKb;
    }

    // The notice alone, documents off and on: one-page faxes, one at a time.
    const int samples = quick ? 20 : 100;
    std::pair<double, double> latency[2];
    for (int on = 0; on < 2; ++on) {
        Monitor monitor(work.path(), on ? mqtt + documents : mqtt);
        const QString fax = work.filePath(QStringLiteral("sample-1.tif"));
        std::vector<double> times;
        for (int i = 0; i < samples; ++i) {
            const int number = ++sample;
            const QString name = QStringLiteral("fax%1.tif").arg(number, 5, 10, QLatin1Char('0'));
            QFile::copy(fax, spool + QStringLiteral("/recvq/") + name);
            const auto posted = Clock::now();
            if (post(monitor, number, name) && processUntil([&] { return notices.arrived.count(number) > 0; }, 5000))
                times.push_back(millisecondsBetween(posted, notices.arrived[number]));
            // The same pace either way: the document's road done (or none),
            // and a moment, before the next.
            processUntil([&] { return !on || notices.opens.count(number) > 0; }, 10000);
            processFor(150);
        }
        latency[on] = percentiles(times);
    }

    std::printf("\nA fax from the hook's post until kavrel-r's notice opens its PDF (the monitor converts, mosquitto\n"
                "carries, kavrel-r keeps the PDF and the picture and attaches them to the notice); %d runs each.\n\n",
                runs);
    std::printf("| %-10s | %-26s | %-36s | %s |\n", "pages", "post to notice, p50 / p99", "post to PDF at the notice, p50 / p99",
                "lost");
    std::printf("|------------|----------------------------|--------------------------------------|------|\n");
    for (const Row &row : rows) {
        std::printf("| %-10d | %26s | %36s | %4zu |\n", row.pages,
                    (number(row.notice.first, 1) + " / " + number(row.notice.second, 1) + " ms").c_str(),
                    (number(row.opens.first, 0) + " / " + number(row.opens.second, 0) + " ms").c_str(), row.lost);
    }
    std::printf("\nThe monitor's memory: %.1f MB at rest, %.1f MB at its peak; its tools' peak (sampled): %.1f MB.\n",
                monitorIdleKb / 1024.0, monitorPeakKb / 1024.0, toolsPeakKb / 1024.0);
    std::printf("The notice alone (one-page faxes, %d each): documents off %s / %s ms, on %s / %s ms (p50 / p99).\n",
                samples, number(latency[0].first, 2).c_str(), number(latency[0].second, 2).c_str(),
                number(latency[1].first, 2).c_str(), number(latency[1].second, 2).c_str());
    return 0;
}

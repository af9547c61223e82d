// The fax monitor as a process: receptions posted on its post socket reach
// every link as one line; what is malformed or comes from the wrong user goes
// nowhere, and a link that does not read cannot make it grow.

#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QLocalSocket>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <unistd.h>

namespace {

const QString MonitorPath = QStringLiteral(KAVREL_FAXMON);

qint64 rssKiB(qint64 pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    const QRegularExpression rss(QStringLiteral("VmRSS:\\s+(\\d+)"));
    return rss.match(QString::fromLatin1(status.readAll())).captured(1).toLongLong();
}

} // namespace

class TestFaxMonitor : public QObject
{
    Q_OBJECT

    QTemporaryDir folder;
    QProcess monitor;
    QByteArray said; // what the monitor wrote on its standard error

    QString socket(const QString &name) const { return folder.path() + QLatin1Char('/') + name; }

    QLocalSocket *link()
    {
        // Connected once the monitor has taken it in, not merely queued.
        const qsizetype taken = said.count("a link connected");
        auto *socket = new QLocalSocket(this);
        socket->connectToServer(this->socket(QStringLiteral("orvex-monitor.sock")));
        if (!socket->waitForConnected(2000) || !QTest::qWaitFor([&] { return said.count("a link connected") > taken; }))
            qWarning("no link");
        return socket;
    }

    // Posts raw bytes as the hook would; true when the monitor took them.
    bool post(const QByteArray &bytes)
    {
        QLocalSocket poster;
        poster.connectToServer(socket(QStringLiteral("post.sock")));
        if (!poster.waitForConnected(2000))
            return false;
        poster.write(bytes);
        poster.waitForBytesWritten(2000);
        while (!poster.canReadLine() && poster.waitForReadyRead(3000)) {
        }
        return poster.readLine() == "OK\n";
    }

    static QByteArray fields(const QList<QByteArray> &values)
    {
        QByteArray bytes;
        for (const QByteArray &value : values)
            bytes += value + '\0';
        return bytes;
    }

    QList<QByteArray> readLines(QLocalSocket *link, int count)
    {
        QList<QByteArray> lines;
        QElapsedTimer timer;
        timer.start();
        while (lines.size() < count && timer.elapsed() < 10000) {
            if (!link->canReadLine())
                link->waitForReadyRead(100);
            while (link->canReadLine())
                lines.append(link->readLine().chopped(1));
        }
        return lines;
    }

private Q_SLOTS:
    void initTestCase()
    {
        // Reachable by an unprivileged user, for the refusal below.
        QFile::setPermissions(folder.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner
                                                 | QFileDevice::ReadOther | QFileDevice::ExeOther);
        connect(&monitor, &QProcess::readyReadStandardError, this, [this] { said += monitor.readAllStandardError(); });
        monitor.start(MonitorPath, {QStringLiteral("--folder"), folder.path()});
        QTRY_VERIFY(said.contains("listening"));
    }

    void cleanupTestCase()
    {
        monitor.kill();
        monitor.waitForFinished();
    }

    void postsBecomeLines_data()
    {
        QTest::addColumn<QByteArray>("posted");
        QTest::addColumn<QString>("line"); // a pattern
        QTest::newRow("reception") << fields({"2026:12:07 06:38:44", "81 3 1234 5678", "0312345678", "ﾔﾏﾀﾞｼｮｳｼﾞ", "2", ""})
                                   << QStringLiteral("^2026/12/07 06:38:44,81 3 1234 5678,0312345678,ﾔﾏﾀﾞｼｮｳｼﾞ,2,OK$");
        QTest::newRow("error") << fields({"2026:12:07 06:38:44", "", "", "", "1", "RSPREC error/got DCN"})
                               << QStringLiteral("^2026/12/07 06:38:44,,,,1,RSPREC error/got DCN$");
        QTest::newRow("separators in fields") << fields({"2026:12:07 06:38:44", "a,b\r\nc", "\t1\x01", "x", "3", "e,f"})
                                              << QStringLiteral("^2026/12/07 06:38:44,a b  c,1,x,3,e f$");
        QTest::newRow("time unknown") << fields({"", "s", "", "", "", ""})
                                      << QStringLiteral("^\\d{4}/\\d\\d/\\d\\d \\d\\d:\\d\\d:\\d\\d,s,,,,OK$");
        QTest::newRow("not UTF-8") << fields({"2026:12:07 06:38:44", "\x83\x54\xff", "", "", "", ""})
                                   << QStringLiteral("^2026/12/07 06:38:44,\uFFFDT\uFFFD,,,,OK$");
    }

    void postsBecomeLines()
    {
        QFETCH(QByteArray, posted);
        QFETCH(QString, line);
        QLocalSocket *first = link();
        QLocalSocket *second = link();
        QVERIFY(post(posted));
        for (QLocalSocket *l : {first, second}) {
            const QList<QByteArray> lines = readLines(l, 1);
            QCOMPARE(lines.size(), 1);
            QVERIFY2(QRegularExpression(line).match(QString::fromUtf8(lines.first())).hasMatch(), lines.first().constData());
        }
        delete first;
        delete second;
    }

    void malformedPostsGoNowhere()
    {
        QLocalSocket *listener = link();
        // Fields missing; and a post far too long.
        const int refusedBefore = said.count("refused a post");
        QVERIFY(!post(fields({"2026:12:07 06:38:44", "s", "n"})));
        QVERIFY(!post(QByteArray(64 * 1024, 'x')));
        QVERIFY(post(fields({"2026:12:07 06:38:44", "good", "", "", "", ""})));
        const QList<QByteArray> lines = readLines(listener, 1);
        QCOMPARE(lines, QList<QByteArray>{"2026/12/07 06:38:44,good,,,,OK"});
        QTRY_COMPARE(said.count("refused a post"), refusedBefore + 2);
        delete listener;
    }

    void onlyTheFaxUserAndRootMayPost()
    {
        if (geteuid() != 0)
            QSKIP("needs root to post as another user");
        QLocalSocket *listener = link();
        QProcess poster;
        poster.start(QStringLiteral("setpriv"), {QStringLiteral("--reuid=65534"), QStringLiteral("--regid=65534"),
                                                 QStringLiteral("--clear-groups"), MonitorPath, QStringLiteral("--post"),
                                                 QStringLiteral("--folder"), folder.path(), QStringLiteral("--"),
                                                 QStringLiteral("2026:12:07 06:38:44"), QStringLiteral("fake"),
                                                 QString(), QString(), QString(), QString()});
        QVERIFY(poster.waitForFinished(5000));
        QCOMPARE(poster.exitCode(), 1);
        QTRY_VERIFY(said.contains("user 65534"));
        QVERIFY(!listener->waitForReadyRead(300));
        delete listener;
    }

    void linkThatDoesNotReadIsDropped()
    {
        QLocalSocket *stuck = link();
        stuck->setReadBufferSize(1); // reads nothing from the kernel either
        QLocalSocket *reader = link();
        const qint64 before = rssKiB(monitor.processId());
        const QByteArray filler(4000, 'f');
        const int count = 2000; // some 8 MB for each link
        QList<QByteArray> lines;
        for (int i = 0; i < count; ++i) {
            QVERIFY(post(fields({"2026:12:07 06:38:44", QByteArray::number(i), filler, "", "", ""})));
            while (reader->bytesAvailable() || reader->waitForReadyRead(0)) {
                while (reader->canReadLine())
                    lines.append(reader->readLine());
                if (!reader->canReadLine())
                    break;
            }
        }
        lines += readLines(reader, count - lines.size());
        QCOMPARE(lines.size(), count);
        QTRY_VERIFY(said.contains("dropped a link that does not read"));
        const qint64 grown = rssKiB(monitor.processId()) - before;
        QVERIFY2(grown < 4 * 1024, qPrintable(QStringLiteral("the monitor grew by %1 KiB").arg(grown)));
        delete stuck;
        delete reader;
    }
};

QTEST_GUILESS_MAIN(TestFaxMonitor)
#include "tst_faxmonitor.moc"

// The fax monitor as a process: receptions posted on its post socket reach
// every link as one line; what is malformed or comes from the wrong user goes
// nowhere, a link that does not read cannot make it grow, nobody can flood
// its journal or take its sockets, and a restart loses no reception.

#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QLocalSocket>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <grp.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>

#include <csignal>
#include <unistd.h>

namespace {

const QString MonitorPath = QStringLiteral(KAVREL_FAXMON);
const QString ProgramPath = QStringLiteral(KAVREL_PROGRAM);

// As the user nobody, count connections to the socket at path (without end
// when count is negative), each closed again at once, from a child process.
pid_t startConnectingAsNobody(const QString &path, int count)
{
    const QByteArray native = QFile::encodeName(path);
    const pid_t child = fork();
    if (child == 0) {
        if (setgroups(0, nullptr) != 0 || setresgid(65534, 65534, 65534) != 0 || setresuid(65534, 65534, 65534) != 0)
            _exit(2);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        qstrncpy(address.sun_path, native.constData(), sizeof address.sun_path);
        for (int i = 0; count < 0 || i < count; ++i) {
            const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
            ::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address);
            ::close(fd);
        }
        _exit(0);
    }
    return child;
}

bool connectAsNobody(const QString &path, int count)
{
    const pid_t child = startConnectingAsNobody(path, count);
    int status = 0;
    return child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

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

    TestSupport::MonitorProcess monitor;

    static QByteArray fields(const QList<QByteArray> &values) { return TestSupport::MonitorProcess::fields(values); }
    static QList<QByteArray> readLines(QLocalSocket *link, int count)
    {
        return TestSupport::MonitorProcess::readLines(link, count);
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(monitor.start());
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
        // A time that cannot be read, or that no clock shows, stands as the
        // time of the post (NOW below).
        QTest::newRow("time unknown") << fields({"", "s", "", "", "", ""}) << QStringLiteral("^NOW,s,,,,OK$");
        // A failure is never read as a success.
        QTest::newRow("error of blanks") << fields({"2026:12:07 06:38:44", "", "", "", "1", "\xe3\x80\x80\n\t"})
                                         << QStringLiteral("^2026/12/07 06:38:44,,,,1,受信エラー$");
        QTest::newRow("error reading OK") << fields({"2026:12:07 06:38:44", "", "", "", "1", " OK"})
                                          << QStringLiteral("^2026/12/07 06:38:44,,,,1,受信エラー：OK$");
        QTest::newRow("error of invisible characters") << fields({"2026:12:07 06:38:44", "", "", "", "1", "\xe2\x80\x8b\xe2\x80\x8e"})
                                                       << QStringLiteral("^2026/12/07 06:38:44,,,,1,受信エラー$");
        QTest::newRow("error reading full-width OK") << fields({"2026:12:07 06:38:44", "", "", "", "1", "\xef\xbc\xaf\xef\xbc\xab"})
                                                     << QStringLiteral("^2026/12/07 06:38:44,,,,1,受信エラー：ＯＫ$");
        QTest::newRow("impossible date") << fields({"2026:02:30 06:38:44", "s", "", "", "", ""}) << QStringLiteral("^NOW,s,,,,OK$");
        QTest::newRow("hour 24") << fields({"2026:12:07 24:00:00", "s", "", "", "", ""}) << QStringLiteral("^NOW,s,,,,OK$");
        QTest::newRow("minute 60") << fields({"2026:12:07 23:60:00", "s", "", "", "", ""}) << QStringLiteral("^NOW,s,,,,OK$");
        QTest::newRow("not UTF-8") << fields({"2026:12:07 06:38:44", "\x83\x54\xff", "", "", "", ""})
                                   << QStringLiteral("^2026/12/07 06:38:44,\uFFFDT\uFFFD,,,,OK$");
    }

    void postsBecomeLines()
    {
        QFETCH(QByteArray, posted);
        QFETCH(QString, line);
        const auto first = monitor.link();
        const auto second = monitor.link();
        const QDateTime before = QDateTime::currentDateTime().addSecs(-1);
        QVERIFY(monitor.post(posted));
        const QDateTime after = QDateTime::currentDateTime().addSecs(1);
        for (QLocalSocket *l : {first.get(), second.get()}) {
            const QList<QByteArray> lines = readLines(l, 1);
            QCOMPARE(lines.size(), 1);
            QString pattern = line;
            if (pattern.contains(QStringLiteral("NOW"))) {
                const QDateTime posted = QDateTime::fromString(QString::fromUtf8(lines.first().left(19)),
                                                               QStringLiteral("yyyy/MM/dd HH:mm:ss"));
                QVERIFY2(posted >= before && posted <= after, lines.first().constData());
                pattern.replace(QStringLiteral("NOW"), QRegularExpression::escape(QString::fromUtf8(lines.first().left(19))));
            }
            QVERIFY2(QRegularExpression(pattern).match(QString::fromUtf8(lines.first())).hasMatch(), lines.first().constData());
        }
    }

    void malformedPostsGoNowhere()
    {
        const auto listener = monitor.link();
        // Fields missing; and a post far too long.
        const int refusedBefore = monitor.said().count("refused a post");
        QVERIFY(!monitor.post(fields({"2026:12:07 06:38:44", "s", "n"})));
        QVERIFY(!monitor.post(QByteArray(64 * 1024, 'x')));
        // Posts in pieces: bounded in size, and in time.
        QLocalSocket large, slow;
        for (QLocalSocket *poster : {&large, &slow}) {
            poster->connectToServer(monitor.postSocket());
            QVERIFY(poster->waitForConnected(2000));
        }
        slow.write(fields({"2026:12:07 06:38:44", "slow"}));
        for (int i = 0; i < 4; ++i) {
            large.write(QByteArray(5000, 'x'));
            large.flush();
            QTest::qWait(20);
        }
        large.write(fields({"", "", "", "", "", ""}));
        for (QLocalSocket *poster : {&large, &slow})
            QTRY_COMPARE(poster->state(), QLocalSocket::UnconnectedState);
        QVERIFY(monitor.post(fields({"2026:12:07 06:38:44", "good", "", "", "", ""})));
        const QList<QByteArray> lines = readLines(listener.get(), 1);
        QCOMPARE(lines, QList<QByteArray>{"2026/12/07 06:38:44,good,,,,OK"});
        QTRY_COMPARE(monitor.said().count("refused a post"), refusedBefore + 4);
        QVERIFY(monitor.said().contains("over 16384 bytes"));
        QVERIFY(monitor.said().contains("not finished in time"));
    }

    // A post whose sixth field is still on its way is waited for, not taken
    // as whole with the fields it has.
    void postInPiecesIsWaitedFor()
    {
        const auto listener = monitor.link();
        QLocalSocket poster;
        poster.connectToServer(monitor.postSocket());
        QVERIFY(poster.waitForConnected(2000));
        poster.write(fields({"2026:12:07 06:38:44", "pieces", "", "", "1"}));
        QVERIFY(poster.waitForBytesWritten(2000));
        QVERIFY(!listener->waitForReadyRead(100));
        poster.write(fields({"RSPREC error/got DCN"}));
        QVERIFY(poster.waitForBytesWritten(2000));
        QCOMPARE(readLines(listener.get(), 1), QList<QByteArray>{"2026/12/07 06:38:44,pieces,,,1,RSPREC error/got DCN"});
    }

    void onlyTheFaxUserAndRootMayPost()
    {
        if (geteuid() != 0)
            QSKIP("needs root to post as another user");
        const auto listener = monitor.link();
        QProcess poster;
        poster.start(QStringLiteral("setpriv"), {QStringLiteral("--reuid=65534"), QStringLiteral("--regid=65534"),
                                                 QStringLiteral("--clear-groups"), MonitorPath, QStringLiteral("--post"),
                                                 QStringLiteral("--folder"), monitor.folder(), QStringLiteral("--"),
                                                 QStringLiteral("2026:12:07 06:38:44"), QStringLiteral("fake"),
                                                 QString(), QString(), QString(), QString()});
        QVERIFY(poster.waitForFinished(5000));
        QCOMPARE(poster.exitCode(), 1);
        QTRY_VERIFY(monitor.said().contains("user nobody"));
        QVERIFY(!listener->waitForReadyRead(300));
    }

    // Thousands of refused posts make a line or two in the journal, not one
    // each.
    void refusalsAreSummedUp()
    {
        const qsizetype before = monitor.said().count("refused a post");
        QVERIFY(connectAsNobody(monitor.postSocket(), 3000));
        QTRY_VERIFY(monitor.said().contains("more like this"));
        QVERIFY(monitor.said().count("refused a post") - before <= 3);
        QVERIFY2(QRegularExpression(QStringLiteral("\\d+ more like this")).match(QString::fromUtf8(monitor.said())).hasMatch(),
                 monitor.said().right(300).constData());
    }

    // Nobody's endless connections to the post socket do not keep a kavrel-s
    // that connects meanwhile waiting, nor its receptions from it.
    void floodDoesNotHoldLinksUp()
    {
        const pid_t flood = startConnectingAsNobody(monitor.postSocket(), -1);
        QVERIFY(flood > 0);
        QTest::qWait(200);
        const auto listener = monitor.link();
        const bool posted = monitor.post(fields({"2026:12:07 06:38:44", "in a flood", "", "", "", ""}));
        const QList<QByteArray> lines = readLines(listener.get(), 1);
        ::kill(flood, SIGKILL);
        waitpid(flood, nullptr, 0);
        QVERIFY(posted);
        QCOMPARE(lines, QList<QByteArray>{"2026/12/07 06:38:44,in a flood,,,,OK"});
    }

    // The monitor as its unit runs it, as the fax user: root may post too.
    void rootMayPostToAMonitorOfTheFaxUser()
    {
        QTemporaryDir other;
        QFile::setPermissions(other.path(), QFile::permissions(other.path()) | QFileDevice::ReadOther
                                                | QFileDevice::WriteOther | QFileDevice::ExeOther);
        QProcess asUucp;
        asUucp.start(QStringLiteral("setpriv"), {QStringLiteral("--reuid=uucp"), QStringLiteral("--regid=uucp"),
                                                 QStringLiteral("--clear-groups"), MonitorPath,
                                                 QStringLiteral("--folder"), other.path(), QStringLiteral("--config"),
                                                 other.filePath(QStringLiteral("no-relays.conf"))});
        QTRY_VERIFY(QFile::exists(other.filePath(QStringLiteral("post.sock"))));
        QProcess poster;
        poster.start(MonitorPath, {QStringLiteral("--post"), QStringLiteral("--folder"), other.path(), QStringLiteral("--"),
                                   QStringLiteral("2026:12:07 06:38:44"), QStringLiteral("s"), QString(), QString(),
                                   QString(), QString()});
        QVERIFY(poster.waitForFinished(5000));
        QCOMPARE(poster.exitCode(), 0);
        asUucp.kill();
        asUucp.waitForFinished();
    }

    // A second monitor on the same folder leaves the first one's sockets
    // alone and says why it does not start.
    void secondMonitorRefusesToStart()
    {
        const auto listener = monitor.link();
        QProcess second;
        second.start(MonitorPath, {QStringLiteral("--folder"), monitor.folder(), QStringLiteral("--config"),
                                   monitor.configFile()});
        QVERIFY(second.waitForFinished(5000));
        QCOMPARE(second.exitCode(), 1);
        QVERIFY(second.readAllStandardError().contains("another process is listening"));
        QVERIFY(monitor.post(fields({"2026:12:07 06:38:44", "still served", "", "", "", ""})));
        QCOMPARE(readLines(listener.get(), 1), QList<QByteArray>{"2026/12/07 06:38:44,still served,,,,OK"});
    }

    // A socket removed behind the monitor's back is made again.
    // A socket removed, or replaced by a file, behind the monitor's back is
    // made again.
    void removedSocketIsMadeAgain_data()
    {
        QTest::addColumn<bool>("replaced");
        QTest::newRow("removed") << false;
        QTest::newRow("replaced by a file") << true;
    }

    void removedSocketIsMadeAgain()
    {
        QFETCH(bool, replaced);
        const qsizetype before = monitor.said().count("listening again");
        if (replaced) {
            QFile file(monitor.path(QStringLiteral("in-the-way")));
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.close();
            QVERIFY(::rename(QFile::encodeName(file.fileName()).constData(),
                             QFile::encodeName(monitor.linkSocket()).constData()) == 0);
        } else {
            QVERIFY(QFile::remove(monitor.linkSocket()));
        }
        QTRY_COMPARE(monitor.said().count("listening again"), before + 1);
        const auto listener = monitor.link();
        QVERIFY(monitor.post(fields({"2026:12:07 06:38:44", "again", "", "", "", ""})));
        QCOMPARE(readLines(listener.get(), 1), QList<QByteArray>{"2026/12/07 06:38:44,again,,,,OK"});
    }

    void linkThatDoesNotReadIsDropped()
    {
        const auto stuck = monitor.link();
        stuck->setReadBufferSize(1); // reads nothing from the kernel either
        const auto reader = monitor.link();
        const qint64 before = rssKiB(monitor.process().processId());
        const QByteArray filler(4000, 'f');
        const int count = 2000; // some 8 MB for each link
        QList<QByteArray> lines;
        for (int i = 0; i < count; ++i) {
            QVERIFY(monitor.post(fields({"2026:12:07 06:38:44", QByteArray::number(i), filler, "", "", ""})));
            while (reader->bytesAvailable() || reader->waitForReadyRead(0)) {
                while (reader->canReadLine())
                    lines.append(reader->readLine());
                if (!reader->canReadLine())
                    break;
            }
        }
        lines += readLines(reader.get(), count - lines.size());
        QCOMPARE(lines.size(), count);
        QTRY_VERIFY(monitor.said().contains("it does not read"));
        const qint64 grown = rssKiB(monitor.process().processId()) - before;
        QVERIFY2(grown < 4 * 1024, qPrintable(QStringLiteral("the monitor grew by %1 KiB").arg(grown)));
    }

    // In a network of its own where the name server never answers and no
    // route leads anywhere: the monitor answers every post while its
    // lookups hang, says once that a destination cannot be reached, and
    // ends at once when stopped.
    void lookupsThatHangHoldNothingUp()
    {
        if (geteuid() != 0)
            QSKIP("needs root, for a network namespace of its own");
        TestSupport::MonitorProcess isolated;
        QFile resolv(isolated.path(QStringLiteral("resolv.conf")));
        QVERIFY(resolv.open(QIODevice::WriteOnly));
        resolv.write("nameserver 127.0.0.1\noptions timeout:5 attempts:2\n");
        resolv.close();
        // udplisten stands for a name server that hears every question and
        // answers none. It ends with the monitor (its parent once the shell
        // has become the monitor): left behind, it would hold the output of
        // whatever ran the suite open, and `ninja test` would wait for ever.
        const QString nameServer = isolated.path(QStringLiteral("nameserver.pid"));
        const QString script = QStringLiteral(
            "ip link set lo up && mount --bind '%1' /etc/resolv.conf && "
            "{ setpriv --pdeathsig KILL '%2' --address 127.0.0.1 --port 53 >/dev/null 2>&1 & echo $! >'%3'; } && "
            "exec \"$@\"")
                                   .arg(resolv.fileName(), QStringLiteral(KAVREL_UDPLISTEN), nameServer);
        QVERIFY(isolated.start("[Datagrams]\nDestinations=hangs.office.test:21825, 10.1.2.3:21825\n"
                               "[MQTT]\nBroker=mqtt://hangs.office.test:1883\n",
                               TestSupport::MonitorProcess::DefaultDelays, QStringList(),
                               {QStringLiteral("unshare"), QStringLiteral("--net"), QStringLiteral("--mount"),
                                QStringLiteral("sh"), QStringLiteral("-c"), script, QStringLiteral("sh")}));
        const auto listener = isolated.link();
        for (int i = 0; i < 3; ++i)
            QVERIFY(isolated.post(fields({"2026:12:07 06:38:44", QByteArray::number(i), "", "", "", ""})));
        QCOMPARE(readLines(listener.get(), 3).size(), 3);
        QTRY_COMPARE(isolated.said().count("datagrams to 10.1.2.3:21825 cannot be sent"), 1);
        QVERIFY(isolated.terminate());
        QFile pidFile(nameServer);
        QVERIFY(pidFile.open(QIODevice::ReadOnly));
        const pid_t stand = pidFile.readAll().trimmed().toInt();
        QVERIFY(stand > 0);
        // Gone, or dead and waiting for whoever adopted it to reap it.
        const auto ended = [stand] {
            QFile stat(QStringLiteral("/proc/%1/stat").arg(stand));
            return !stat.open(QIODevice::ReadOnly) || stat.readAll().contains(") Z ");
        };
        QTRY_VERIFY(ended());
    }

    // A restart (a package upgrade) with kavrel-s running: every reception
    // posted from the moment the new monitor listens is relayed, once.
    void restartLosesNoReception()
    {
        TestSupport::FastUdpReceiver receiver;
        QFile settings(TestSupport::settingsFile());
        QVERIFY(settings.open(QIODevice::WriteOnly));
        settings.write("[Settings]\nIPAddress=127.0.0.1\nPort=" + QByteArray::number(receiver.port()) + "\n");
        settings.close();
        TestSupport::Program program(ProgramPath, TestSupport::kavrelSArguments(QStringLiteral("wait=0"), monitor.linkSocket()));
        QTRY_VERIFY(monitor.said().contains(" connected ("));

        // Stopped as systemd stops it: status 0, its sockets gone.
        QVERIFY(monitor.terminate());
        QVERIFY(!QFile::exists(monitor.postSocket()));
        QVERIFY(monitor.start(QByteArray(), QStringLiteral("post=300,comings=0")));
        for (int i = 0; i < 40; ++i) {
            QVERIFY(monitor.post(fields({"2026:12:07 06:38:44", QByteArray::number(i), "", "", "", ""})));
            QTest::qWait(50);
        }
        QTRY_COMPARE(receiver.count(), 40);
        QTest::qWait(200);
        const QList<QByteArray> datagrams = receiver.datagrams();
        QCOMPARE(datagrams.size(), 40);
        for (int i = 0; i < 40; ++i)
            QCOMPARE(datagrams.at(i), "2026/12/07 06:38:44," + QByteArray::number(i) + ",,,,OK");
    }
};

QTEST_GUILESS_MAIN(TestFaxMonitor)
#include "tst_faxmonitor.moc"

// The fan-out of lines to many links: what one link or one user can do to
// the others and to the process, and what links that come later get.

#include "core/linkserver.h"
#include "testsupport.h"

#include <QFile>
#include <QLocalSocket>
#include <QSignalSpy>
#include <QtTest>

#include <dirent.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

QString socketPath()
{
    return TestSupport::runtimeDir() + QStringLiteral("/links.sock");
}

// A link that connects and never reads: a bare socket with the smallest
// receive buffer.
int stuckLink()
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    qstrncpy(address.sun_path, QFile::encodeName(socketPath()).constData(), sizeof address.sun_path);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    const int size = 1;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

int openDescriptors()
{
    int count = 0;
    if (DIR *fds = opendir("/proc/self/fd")) {
        while (readdir(fds))
            ++count;
        closedir(fds);
    }
    return count;
}

QList<QByteArray> readLines(QLocalSocket &link, int count)
{
    QList<QByteArray> lines;
    (void)QTest::qWaitFor([&] {
        while (link.canReadLine())
            lines.append(link.readLine().chopped(1));
        return lines.size() >= count;
    }, 10000);
    return lines;
}

QByteArray numbered(int i, qsizetype size = 0)
{
    QByteArray line = QByteArray::number(i) + ',';
    return line + QByteArray(qMax<qsizetype>(0, size - line.size()), 'x');
}

} // namespace

class TestLinkServer : public QObject
{
    Q_OBJECT

    std::unique_ptr<LinkServer> server;

    void start(const LinkServer::Limits &limits)
    {
        server = std::make_unique<LinkServer>();
        server->setLimits(limits);
        QString error;
        QVERIFY2(server->listen(socketPath(), 0600, &error), qPrintable(error));
    }

    std::unique_ptr<QLocalSocket> link()
    {
        const int before = server->linkCount();
        auto socket = std::make_unique<QLocalSocket>();
        socket->connectToServer(socketPath());
        if (!QTest::qWaitFor([&] { return server->linkCount() > before; }, 5000))
            qWarning("the link was not taken");
        return socket;
    }

private Q_SLOTS:
    void cleanup() { server.reset(); }

    void listenTakesOverOnlyWhatNobodyUses()
    {
        // A socket a running process listens on is left to it.
        start({});
        LinkServer second;
        QString error;
        QVERIFY(!second.listen(socketPath(), 0600, &error));
        QVERIFY2(error.contains(QStringLiteral("another process is listening")), qPrintable(error));
        // One left by a process that was killed is taken over.
        server.reset();
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        qstrncpy(address.sun_path, QFile::encodeName(socketPath()).constData(), sizeof address.sun_path);
        const int stale = ::socket(AF_UNIX, SOCK_STREAM, 0);
        QCOMPARE(::bind(stale, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
        ::close(stale);
        QVERIFY(QFile::exists(socketPath()));
        QVERIFY2(second.listen(socketPath(), 0600, &error), qPrintable(error));
        second.close();
        // A file of another kind is not removed.
        QFile file(socketPath());
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("mine");
        file.close();
        QVERIFY(!second.listen(socketPath(), 0600, &error));
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), QByteArray("mine"));
        QFile::remove(socketPath());
    }

    void linksAreLimited_data()
    {
        QTest::addColumn<int>("maxLinks");
        QTest::addColumn<int>("maxLinksPerUser");
        QTest::addColumn<QString>("refusal");
        QTest::newRow("in all") << 2 << 10 << QStringLiteral("2 links are connected already");
        QTest::newRow("for one user") << 10 << 2 << QStringLiteral("the user has 2 links already");
    }

    void linksAreLimited()
    {
        QFETCH(int, maxLinks);
        QFETCH(int, maxLinksPerUser);
        QFETCH(QString, refusal);
        LinkServer::Limits limits;
        limits.maxLinks = maxLinks;
        limits.maxLinksPerUser = maxLinksPerUser;
        start(limits);
        QSignalSpy refused(server.get(), &LinkServer::linkRefused);
        int fds[3];
        for (int &fd : fds)
            fd = stuckLink();
        QTRY_COMPARE(refused.size(), 1);
        QCOMPARE(refused.first().at(0).toUInt(), uint(geteuid()));
        QCOMPARE(refused.first().at(1).toString(), refusal);
        QCOMPARE(server->linkCount(), 2);
        for (int fd : fds)
            ::close(fd);
        QTRY_COMPARE(server->linkCount(), 0);
    }

    // Out of descriptors, accept() fails: the socket keeps listening, and
    // once descriptors are free again links connect as before.
    void runningOutOfDescriptorsDoesNotStopListening()
    {
        LinkServer::Limits limits;
        limits.maxLinksPerUser = 1000;
        start(limits);
        QSignalSpy failed(server.get(), &LinkServer::acceptFailed);
        rlimit limit;
        QCOMPARE(getrlimit(RLIMIT_NOFILE, &limit), 0);
        rlimit lowered = limit;
        lowered.rlim_cur = rlim_t(openDescriptors() + 20);
        QCOMPARE(setrlimit(RLIMIT_NOFILE, &lowered), 0);
        QList<int> links;
        for (int fd; (fd = stuckLink()) >= 0;)
            links.append(fd);
        QTRY_VERIFY(!failed.isEmpty());
        QCOMPARE(setrlimit(RLIMIT_NOFILE, &limit), 0);
        for (int fd : std::as_const(links))
            ::close(fd);
        QVERIFY(server->isListening());
        QVERIFY(QFile::exists(socketPath()));
        // The connections turned away may still be queued before a new one.
        QLocalSocket reader;
        reader.connectToServer(socketPath());
        QVERIFY(QTest::qWaitFor([&] {
            server->publish("still here\n");
            return reader.canReadLine();
        }));
        QCOMPARE(reader.readLine(), QByteArray("still here\n"));
    }

    // A link that does not read for a while gets every line, whole and in
    // order, when it reads again.
    void linkThatFallsBehindGetsWholeLinesInOrder()
    {
        start({});
        auto reader = link();
        QList<QByteArray> published;
        for (int i = 0; i < 200; ++i) {
            published.append(numbered(i, 4000));
            server->publish(published.last() + '\n');
        }
        QVERIFY(server->queuedBytes() > 0);
        QCOMPARE(readLines(*reader, 200), published);
    }

    // Links that never read are dropped, the slowest first, before what
    // waits for all of them goes over the budget; a link that reads keeps
    // receiving everything.
    void waitingBytesStayWithinTheBudget()
    {
        LinkServer::Limits limits;
        limits.maxQueuedTotal = 256 * 1024;
        start(limits);
        QSignalSpy dropped(server.get(), &LinkServer::linkDropped);
        QList<int> stuck{stuckLink(), stuckLink(), stuckLink()};
        QTRY_COMPARE(server->linkCount(), 3);
        auto reader = link();
        QList<QByteArray> lines;
        for (int i = 0; i < 150; ++i) {
            server->publish(numbered(i, 4000) + '\n');
            QVERIFY(server->queuedBytes() <= limits.maxQueuedTotal);
            lines += readLines(*reader, 1);
        }
        lines += readLines(*reader, 150 - int(lines.size()));
        QCOMPARE(lines.size(), 150);
        QCOMPARE(lines.last(), numbered(149, 4000));
        QVERIFY(!dropped.isEmpty());
        QCOMPARE(reader->state(), QLocalSocket::ConnectedState);
        for (int fd : std::as_const(stuck))
            ::close(fd);
    }

    // What was published shortly before reaches a link that connects later,
    // once for each process.
    void heldLinesReachLaterLinksOnce()
    {
        LinkServer::Limits limits;
        limits.holdTime = 10000;
        start(limits);
        server->publish("a\n");
        server->publish("b\n");
        auto first = link();
        QCOMPARE(readLines(*first, 2), (QList<QByteArray>{"a", "b"}));
        server->publish("c\n");
        QCOMPARE(readLines(*first, 1), QList<QByteArray>{"c"});
        first.reset();
        QTRY_COMPARE(server->linkCount(), 0);
        server->publish("d\n");
        // The same process again: only what it has not had.
        auto again = link();
        QCOMPARE(readLines(*again, 1), QList<QByteArray>{"d"});
        QVERIFY(!again->waitForReadyRead(100));

        // What is held counts against the budget like anything waiting:
        // links that connect and never read cannot make it grow.
        limits.maxQueuedTotal = 256 * 1024;
        start(limits);
        for (int i = 0; i < 40; ++i)
            server->publish(numbered(i, 8000) + '\n');
        QList<int> stuck;
        for (int i = 0; i < 4; ++i) {
            stuck.append(stuckLink());
            QTest::qWait(20);
            QVERIFY(server->queuedBytes() <= limits.maxQueuedTotal);
        }
        for (int fd : std::as_const(stuck))
            ::close(fd);

        // Without a hold time, a later link gets only what comes next.
        start({});
        server->publish("gone\n");
        auto late = link();
        server->publish("next\n");
        QCOMPARE(readLines(*late, 1), QList<QByteArray>{"next"});
    }
};

QTEST_GUILESS_MAIN(TestLinkServer)
#include "tst_linkserver.moc"

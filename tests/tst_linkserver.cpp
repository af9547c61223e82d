// The fan-out of lines to many links: what one link or one user can do to
// the others and to the process, and what links that come later get.

#include "core/linkserver.h"
#include "core/unixlistener.h"
#include "faxmonitor/faxmonitor.h"
#include "testsupport.h"

#include <QFile>
#include <QLocalSocket>
#include <QTemporaryDir>
#include <QSignalSpy>
#include <QtTest>

#include <dirent.h>
#include <poll.h>
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
        // A listener whose queue is full is still a listener.
        const int busy = ::socket(AF_UNIX, SOCK_STREAM, 0);
        QCOMPARE(::bind(busy, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
        QCOMPARE(::listen(busy, 0), 0);
        QList<int> queued;
        for (int fd = -1; queued.size() < 64;) {
            fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0);
            if (::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
                QCOMPARE(errno, EAGAIN);
                ::close(fd);
                break;
            }
            queued.append(fd);
        }
        QVERIFY(!second.listen(socketPath(), 0600, &error));
        QVERIFY2(error.contains(QStringLiteral("another process is listening")), qPrintable(error));
        for (int fd : std::as_const(queued))
            ::close(fd);
        ::close(busy);
        QFile::remove(socketPath());
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
        QTest::newRow("by default") << LinkServer::Limits().maxLinks << LinkServer::Limits().maxLinksPerUser
                                    << QStringLiteral("the user has 8 links already");
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
        const int allowed = qMin(maxLinks, maxLinksPerUser);
        QList<int> fds;
        for (int i = 0; i <= allowed; ++i)
            fds.append(stuckLink());
        QTRY_COMPARE(refused.size(), 1);
        QCOMPARE(refused.first().at(0).toUInt(), uint(geteuid()));
        QCOMPARE(refused.first().at(1).toString(), refusal);
        QCOMPARE(server->linkCount(), allowed);
        for (int fd : std::as_const(fds))
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
        // The connection at the head of the queue was turned away (with the
        // descriptor kept spare for it), not left there for accept() to
        // fail on again and again.
        const bool turnedAway = std::any_of(links.cbegin(), links.cend(), [](int fd) {
            char byte;
            return ::recv(fd, &byte, 1, MSG_DONTWAIT | MSG_PEEK) == 0;
        });
        QCOMPARE(setrlimit(RLIMIT_NOFILE, &limit), 0);
        QVERIFY(turnedAway);
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

    // The default budget: 1 MiB may wait for one link, 4 MiB for all of
    // them; it is used up to the limit, never beyond.
    void defaultBudget()
    {
        start({});
        const qint64 budget = 4 * 1024 * 1024;
        QSignalSpy dropped(server.get(), &LinkServer::linkDropped);
        QList<int> stuck;
        for (int i = 0; i < 6; ++i)
            stuck.append(stuckLink());
        QTRY_COMPARE(server->linkCount(), 6);
        qint64 most = 0;
        for (int i = 0; i < 400 && dropped.size() < 2; ++i) {
            server->publish(numbered(i, 8000) + '\n');
            QVERIFY(server->queuedBytes() <= budget);
            most = qMax(most, server->queuedBytes());
        }
        // Each link is dropped at 1 MiB of its own: four of them fill the
        // budget, the fifth and sixth go.
        QVERIFY(dropped.size() >= 2);
        QVERIFY2(most > budget - 4 * 8000, qPrintable(QString::number(most)));
        for (int fd : std::as_const(stuck))
            ::close(fd);
    }

    // A flood of connections is taken a batch at a time, so that whatever
    // else waits (a link's line, a timer) has its turn in between.
    void connectionsAreTakenInBatches()
    {
        UnixListener listener;
        QString error;
        QVERIFY2(listener.listen(socketPath(), 0600, &error), qPrintable(error));
        QList<int> taken;
        connect(&listener, &UnixListener::accepted, this, [&](int descriptor) { taken.append(descriptor); });
        QList<int> clients;
        for (int i = 0; i < 40; ++i)
            clients.append(stuckLink());
        QCoreApplication::processEvents();
        QCOMPARE(taken.size(), 16);
        QTRY_COMPARE(taken.size(), 40);
        for (int fd : std::as_const(taken) + clients)
            ::close(fd);
    }

    // The fax monitor holds what is posted in the first ten seconds after
    // it starts for the links that come then (a kavrel-s coming back after
    // an upgrade), and nothing later.
    void monitorHoldsForTenSeconds_data()
    {
        QTest::addColumn<int>("linkAfter");
        QTest::addColumn<bool>("held");
        QTest::newRow("5 s after the start") << 5000 << true;
        QTest::newRow("12 s after the start") << 12000 << false;
    }

    void monitorHoldsForTenSeconds()
    {
        QFETCH(int, linkAfter);
        QFETCH(bool, held);
        QTemporaryDir folder;
        FaxMonitor monitor;
        qint64 now = 0;
        monitor.links().setClock([&] { return now; });
        QString error;
        QVERIFY2(monitor.listen(folder.path(), {}, QString(), &error), qPrintable(error));
        monitor.links().publish("posted at the start\n");
        now = linkAfter;
        QLocalSocket late;
        late.connectToServer(monitor.links().path());
        QTRY_COMPARE(monitor.links().linkCount(), 1);
        monitor.links().publish("posted later\n");
        const QList<QByteArray> expected = held ? QList<QByteArray>{"posted at the start", "posted later"}
                                                : QList<QByteArray>{"posted later"};
        QCOMPARE(readLines(late, int(expected.size())), expected);
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

        // A process whose link was dropped for not reading gets only what
        // came after, not everything held again.
        again.reset();
        QTRY_COMPARE(server->linkCount(), 0);
        limits.maxQueuedPerLink = 64 * 1024;
        start(limits);
        QSignalSpy dropped(server.get(), &LinkServer::linkDropped);
        server->publish("first\n");
        const int slow = stuckLink();
        QTRY_COMPARE(server->linkCount(), 1);
        for (int i = 0; dropped.isEmpty() && i < 400; ++i)
            server->publish(numbered(i, 4000) + '\n');
        QVERIFY(!dropped.isEmpty());
        ::close(slow);
        auto back = link();
        server->publish("last\n");
        QTRY_VERIFY(back->canReadLine());
        QVERIFY(back->readLine() != "first\n");
        limits.maxQueuedPerLink = LinkServer::Limits().maxQueuedPerLink;

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

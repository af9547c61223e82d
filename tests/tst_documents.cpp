// The received fax itself, all the way: HylaFAX's faxrcvd on a fax of the
// test's, the hook, the monitor making the PDF and the picture of its first
// page, a real mosquitto, and kavrel-r on a virtual desktop with dunst,
// keeping them and opening the PDF with what the desktop opens files with
// (an xdg-open of the test's, which writes down what it was asked to open).
// Needs root (to act as the fax user), hylafax-server, libtiff-tools,
// poppler-utils, mosquitto, Xvfb, openbox and dunst.

#include "core/monitorprotocol.h"
#include "receiver/history.h"
#include "testsupport.h"

#include <QDir>
#include <QElapsedTimer>
#include <QImageReader>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QUdpSocket>
#include <QtTest>

namespace {

QString faxesFolder()
{
    return TestSupport::dataDir() + QStringLiteral("/kavrel-r/faxes");
}

} // namespace

class TestDocuments : public QObject
{
    Q_OBJECT

    QTemporaryDir work;
    TestSupport::HylaFaxSpool spool;
    TestSupport::TestBroker broker;
    TestSupport::MonitorProcess monitor;
    std::unique_ptr<TestSupport::Desktop> desktop;
    QTemporaryDir services;
    QProcess dunst;
    std::unique_ptr<TestSupport::Program> receiver;

    QString opened() const
    {
        QFile log(work.filePath(QStringLiteral("opened")));
        return log.open(QIODevice::ReadOnly) ? QString::fromUtf8(log.readAll()) : QString();
    }

    QString dunstctl(const QStringList &arguments) const { return desktop->run(QStringLiteral("dunstctl"), arguments); }

    // Whether dunst has shown a notice that says text; *icon is its icon.
    bool shown(const QString &text, QString *icon = nullptr) const
    {
        dunstctl({QStringLiteral("close-all")});
        const QJsonDocument document = QJsonDocument::fromJson(dunstctl({QStringLiteral("history")}).toUtf8());
        for (const QJsonValue &notice : document.object().value(QStringLiteral("data")).toArray().at(0).toArray()) {
            const QJsonObject object = notice.toObject();
            if (object.value(QStringLiteral("body")).toObject().value(QStringLiteral("data")).toString().contains(text)) {
                if (icon)
                    *icon = object.value(QStringLiteral("icon_path")).toObject().value(QStringLiteral("data")).toString();
                return true;
            }
        }
        return false;
    }

    bool publish(const QString &topic, const QString &file)
    {
        return QProcess::execute(QStringLiteral("mosquitto_pub"),
                                 {QStringLiteral("-h"), QStringLiteral("127.0.0.1"), QStringLiteral("-p"),
                                  QString::number(broker.port()), QStringLiteral("-u"), broker.user(), QStringLiteral("-P"),
                                  broker.password(), QStringLiteral("-q"), QStringLiteral("1"), QStringLiteral("-t"), topic,
                                  QStringLiteral("-f"), file})
            == 0;
    }

    QString writeFile(const QString &name, const QByteArray &bytes)
    {
        QFile file(work.filePath(name));
        if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
            return QString();
        return file.fileName();
    }

    static QStringList keptFiles()
    {
        return QDir(faxesFolder()).entryList(QDir::Files);
    }

private Q_SLOTS:
    void initTestCase()
    {
        if (!spool.missing().isEmpty())
            QSKIP(qPrintable(QStringLiteral("needs ") + spool.missing()));
        for (const char *tool : {"tiff2pdf", "pdfinfo", "dunst", "tesseract"}) {
            if (QStandardPaths::findExecutable(QLatin1String(tool)).isEmpty())
                QSKIP(qPrintable(QStringLiteral("needs %1 (libtiff-tools, poppler-utils, dunst, tesseract-ocr)").arg(QLatin1String(tool))));
        }
        QVERIFY2(broker.missing().isEmpty(), qPrintable(broker.missing()));
        QVERIFY(broker.start());
        const QString password = writeFile(QStringLiteral("password"), broker.password().toUtf8());

        // Tools of the test's first on the path: what the desktop opens
        // files with writes down what it is given; tiff2pdf hangs on one
        // fax and is the real one for the others.
        const QString bin = work.filePath(QStringLiteral("bin"));
        QVERIFY(QDir().mkpath(bin));
        const QByteArray tools[][2] = {
            {"xdg-open", "printf '%s\\n' \"$*\" >> '" + QFile::encodeName(work.filePath(QStringLiteral("opened"))) + "'"},
            {"tiff2pdf", "case \"$(readlink \"$3\")\" in *hangs*) exec sleep 60;;\n"
                         "*greedy*) dd if=/dev/zero of=/dev/null bs=700M count=1 2>/dev/null || exit 3;; esac\n"
                         "exec /usr/bin/tiff2pdf \"$@\""},
            // tesseract hangs while the test says so.
            {"tesseract", "[ -e '" + QFile::encodeName(work.filePath(QStringLiteral("hang"))) + "' ] && exec sleep 60\n"
                          "exec /usr/bin/tesseract \"$@\""}};
        for (const auto &tool : tools) {
            QFile script(bin + QLatin1Char('/') + QLatin1String(tool[0]));
            QVERIFY(script.open(QIODevice::WriteOnly));
            script.write("#!/bin/sh\n" + tool[1] + "\n");
            script.close();
            QVERIFY(script.setPermissions(QFileDevice::ReadOwner | QFileDevice::ExeOwner));
        }
        const QString path = bin + QLatin1Char(':') + qEnvironmentVariable("PATH");
        QVERIFY(monitor.start("[MQTT]\nServer=fax1\nBroker=" + broker.url().toUtf8() + "\nUser=" + broker.user().toUtf8()
                                  + "\nPasswordFile=" + QFile::encodeName(password) + "\n[Documents]\nPublish=true\nSpool="
                                  + QFile::encodeName(spool.path()) + "\nFaxUser=uucp\nText=true\nTextPages=3\n",
                              TestSupport::MonitorProcess::DefaultDelays + QStringLiteral(",convert=10000,read=10000"),
                              {QStringLiteral("--poster"), QStringLiteral("uucp")},
                              {QStringLiteral("env"), QStringLiteral("QT_LOGGING_RULES=kavrel.faxmon.relays.debug=true"), QStringLiteral("PATH=") + path}));
        QTRY_VERIFY(monitor.said().contains("documents: connected to the broker")
                    && monitor.said().count("connected to the broker") >= 2);
        QVERIFY(spool.useHook(monitor.folder()));

        desktop = std::make_unique<TestSupport::Desktop>();
        QVERIFY2(desktop->missing().isEmpty(), qPrintable(desktop->missing()));
        QVERIFY(!desktop->startSessionBus(services.path()).isEmpty());
        dunst.setProcessEnvironment(desktop->environment());
        dunst.start(QStringLiteral("dunst"), QStringList());
        QTRY_VERIFY(!dunstctl({QStringLiteral("is-paused")}).isEmpty());

        QDir().mkpath(TestSupport::configDir() + QStringLiteral("/Kavrel"));
        QFile settings(TestSupport::configDir() + QStringLiteral("/Kavrel/kavrel-r.conf"));
        QVERIFY(settings.open(QIODevice::WriteOnly));
        QUdpSocket probe;
        QVERIFY(probe.bind(QHostAddress::LocalHost, 0));
        settings.write("[Receive]\nPort=" + QByteArray::number(probe.localPort()) + "\n[MQTT]\nBroker="
                       + broker.url().toUtf8() + "\nUser=" + broker.user().toUtf8() + "\nPassword=" + broker.password().toUtf8() + "\nDocuments=true\n");
        settings.close();
        probe.close();
        QProcessEnvironment environment = desktop->environment();
        environment.insert(QStringLiteral("PATH"), path);
        environment.insert(QStringLiteral("QT_LOGGING_RULES"), QStringLiteral("kavrel.r.notices.debug=true"));
        receiver = std::make_unique<TestSupport::Program>(QStringLiteral(KAVREL_RECEIVER),
                                                         QStringList{QStringLiteral("--test-delays"), QStringLiteral("gather=300")},
                                                         environment);
        // Both connections: the receptions' and the documents'.
        QTRY_VERIFY_WITH_TIMEOUT(receiver->said().contains("documents: connected to the broker")
                                     && receiver->said().count("connected to the broker") >= 2,
                                 10000);
    }

    void cleanupTestCase()
    {
        receiver.reset();
        dunst.kill();
        dunst.waitForFinished();
        desktop.reset();
    }

    // A fax of three pages: its notice comes first, then the PDF (all three
    // pages) and the picture, kept by kavrel-r; the notice then shows the
    // picture, and clicking it opens the PDF.
    void faxArrivesAsItsPdf()
    {
        QVERIFY(spool.makeFax(QStringLiteral("fax00002.tif"), 3));
        QCOMPARE(spool.faxrcvd(QStringLiteral("fax00002.tif"), QStringLiteral("000000200")), 0);
        QTRY_VERIFY_WITH_TIMEOUT(receiver->said().contains("with its document"), 20000);
        History history;
        QVERIFY(history.open());
        const History::Entry entry = history.latestDocument();
        QCOMPARE(entry.commId, QStringLiteral("fax1/000000200"));
        const QString pdf = faxesFolder() + QLatin1Char('/') + entry.document;
        QProcess info;
        info.start(QStringLiteral("pdfinfo"), {pdf});
        QVERIFY(info.waitForFinished());
        const QString said = QString::fromUtf8(info.readAllStandardOutput());
        QVERIFY2(said.contains(QRegularExpression(QStringLiteral("\nPages: +3\n"))), qPrintable(said));
        // Neither its group nor others read it.
        QCOMPARE(int(QFile::permissions(pdf) & 0x0077), 0);

        dunstctl({QStringLiteral("action"), QStringLiteral("0")});
        QTRY_VERIFY(opened().endsWith(QLatin1Char('\n')));
        QCOMPARE(QFileInfo(opened().trimmed()).symLinkTarget(), pdf);
        QString icon;
        QVERIFY(shown(QStringLiteral("ﾔﾏﾀﾞｼｮｳｼﾞ"), &icon));
        QVERIFY2(icon.startsWith(faxesFolder()) && icon.endsWith(QStringLiteral(".png")),
                 qPrintable(icon + QLatin1Char('\n') + QString::fromUtf8(monitor.said())));
    }

    // Faxes of known Japanese text, at fine and standard resolution: what
    // their second page says finds them at the desk, with the words around
    // it and the page.
    void faxIsFoundByWhatItSays_data()
    {
        QTest::addColumn<QString>("fax");
        QTest::addColumn<QString>("phrase");
        QTest::newRow("order form, fine") << "order-fine" << "翌月末払い";
        QTest::newRow("order form, standard") << "order-standard" << "総務部 佐藤花子";
        QTest::newRow("vertical writing, fine") << "vertical-fine" << "ご迷惑をおかけしますが";
        QTest::newRow("vertical writing, standard") << "vertical-standard" << "何卒ご了承ください";
        QTest::newRow("small print, fine") << "small-fine" << "請求書に記載の期日";
    }
    void faxIsFoundByWhatItSays()
    {
        QFETCH(QString, fax);
        QFETCH(QString, phrase);
        static int faxes = 0;
        const QString commId = QStringLiteral("0000020%1").arg(++faxes, 2, 10, QLatin1Char('0'));
        const QString name = QStringLiteral("fax000%1.tif").arg(20 + faxes);
        QVERIFY(spool.putFax(name, QStringLiteral(TEXT_FAXES "/%1.tif").arg(fax)));
        QCOMPARE(spool.faxrcvd(name, commId), 0);
        History history;
        QVERIFY(history.open());
        History::Query query;
        query.search = phrase;
        // The same text at another resolution came before: this one is the
        // newest found.
        const QString key = QStringLiteral("fax1/") + commId;
        QTRY_VERIFY2_WITH_TIMEOUT(history.page(0, 1, 0, query).value(0).commId == key,
                                  monitor.said().right(3000).constData(), 60000);
        const History::Entry found = history.page(0, 1, 0, query).value(0);
        const HistorySearch::Match match = history.match(found.commId, phrase);
        QCOMPARE(match.page, 2);
        QVERIFY2(match.html.contains(QStringLiteral("<b>")), qPrintable(match.html));
    }

    // A page is read at square pixels whatever its resolution: a standard
    // fax's lines doubled, a fax that gives it in centimetres as one in
    // inches; all three pictures of one sheet are alike.
    void pageIsReadAtSquarePixels()
    {
        const QString faxPage = QFileInfo(QStringLiteral(KAVREL_FAXMON)).dir().filePath(QStringLiteral("kavrel-faxpage"));
        const QString centimetres = work.filePath(QStringLiteral("centimetres.tif"));
        QVERIFY(QFile::copy(QStringLiteral(TEXT_FAXES "/order-standard.tif"), centimetres));
        for (const auto &[tag, value] : {std::pair{"296", "3"}, {"282", "80.315"}, {"283", "38.583"}})
            QCOMPARE(QProcess::execute(QStringLiteral("tiffset"),
                                       {QStringLiteral("-s"), QLatin1String(tag), QLatin1String(value), centimetres}),
                     0);
        QList<QSize> sizes;
        for (const QString &fax : {QStringLiteral(TEXT_FAXES "/order-fine.tif"), QStringLiteral(TEXT_FAXES "/order-standard.tif"), centimetres}) {
            const QString picture = work.filePath(QStringLiteral("page.png"));
            QFile::remove(picture);
            QCOMPARE(QProcess::execute(faxPage, {QStringLiteral("--page"), QStringLiteral("1"), fax, picture}), 0);
            sizes.append(QImageReader(picture).size());
        }
        QCOMPARE(sizes.at(0).width(), 3388); // 1728 dots at 204 to the inch, at 400
        for (const QSize &size : sizes) {
            QCOMPARE(size.width(), sizes.at(0).width());
            QVERIFY2(qAbs(size.height() - sizes.at(0).height()) <= 8, qPrintable(QString::number(size.height())));
        }
    }

    // A reading that hangs is given up after its time, and said; the
    // receptions around it come on time, and the next fax is read.
    void hangingReadingIsBoundedAndTold()
    {
        QFile hang(work.filePath(QStringLiteral("hang")));
        QVERIFY(hang.open(QIODevice::WriteOnly));
        hang.close();
        QVERIFY(spool.makeFax(QStringLiteral("fax00030.tif"), 1));
        // Another reception: another number of pages.
        QVERIFY(spool.makeFax(QStringLiteral("fax00031.tif"), 2));
        QCOMPARE(spool.faxrcvd(QStringLiteral("fax00030.tif"), QStringLiteral("000003000")), 0);
        History history;
        QVERIFY(history.open());
        QTRY_VERIFY_WITH_TIMEOUT(monitor.said().contains("published the document of 000003000")
                                     || history.entry(history.idOf(QStringLiteral("fax1/000003000"))).document.size() > 0,
                                 20000);
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(spool.faxrcvd(QStringLiteral("fax00031.tif"), QStringLiteral("000003100")), 0);
        QTRY_VERIFY_WITH_TIMEOUT(history.idOf(QStringLiteral("fax1/000003100")) > 0, 5000);
        // On time: long before the reading is given up.
        QVERIFY2(clock.elapsed() < 8000, qPrintable(QString::number(clock.elapsed())));
        QTRY_VERIFY_WITH_TIMEOUT(!history.texts(QStringLiteral("fax1/000003000")).isEmpty(), 30000);
        const HistorySearch::PageText given = history.texts(QStringLiteral("fax1/000003000")).value(0);
        QCOMPARE(given.page, 1);
        QVERIFY2(given.error.contains(QStringLiteral("took longer than")), qPrintable(given.error));
        QVERIFY(hang.remove());
        QTRY_VERIFY_WITH_TIMEOUT(!history.texts(QStringLiteral("fax1/000003100")).isEmpty(), 30000);
        QVERIFY(history.texts(QStringLiteral("fax1/000003100")).value(0).error.isEmpty());
    }

    // A fax of 1,000 pages: as many as the monitor reads (3 here) are read,
    // and the rest is said.
    void longFaxIsReadAsFarAsTheBound()
    {
        QVERIFY(spool.putFax(QStringLiteral("fax00040.tif"), QStringLiteral(TEXT_FAXES "/order-fine.tif"), 500));
        QCOMPARE(spool.faxrcvd(QStringLiteral("fax00040.tif"), QStringLiteral("000004000")), 0);
        History history;
        QVERIFY(history.open());
        const QString key = QStringLiteral("fax1/000004000");
        QTRY_VERIFY2_WITH_TIMEOUT(history.texts(key).size() == 4, monitor.said().right(2000).constData(), 90000);
        const QList<HistorySearch::PageText> pages = history.texts(key);
        QCOMPARE(pages.at(0).page, 0);
        QCOMPARE(pages.at(0).error, QStringLiteral("pages 4 to 1000 were not read: at most 3 pages of a fax are read"));
        QVERIFY2(pages.at(2).text.contains(QStringLiteral("翌月末払い")), qPrintable(pages.at(2).text + pages.at(2).error));
    }

    // A page three million rows long (366 KB) is read through, and its
    // picture drawn from its top: a picture of the first page's width, in
    // bounded memory and time.
    void longPageHasAPictureOfItsTop()
    {
        QVERIFY(spool.makeLongFax(QStringLiteral("fax00010.tif"), 3000000));
        const qsizetype said = receiver->said().size();
        QCOMPARE(spool.faxrcvd(QStringLiteral("fax00010.tif"), QStringLiteral("000001000")), 0);
        QTRY_VERIFY_WITH_TIMEOUT(receiver->said().mid(said).contains("with its document"), 30000);
        History history;
        QVERIFY(history.open());
        const History::Entry entry = history.entry(history.idOf(QStringLiteral("fax1/000001000")));
        QVERIFY2(!entry.picture.isEmpty(), monitor.said().constData());
        const QSize size = QImageReader(faxesFolder() + QLatin1Char('/') + entry.picture).size();
        QCOMPARE(size.width(), 256);
        QVERIFY2(size.height() <= 400, qPrintable(QString::number(size.height())));
    }

    // A fax in colour (or grey) is counted, not read: its PDF goes, without
    // a picture.
    void colourFaxStillGoes()
    {
        const QString ppm = work.filePath(QStringLiteral("colour.ppm"));
        QFile image(ppm);
        QVERIFY(image.open(QIODevice::WriteOnly));
        image.write("P6\n64 64\n255\n" + QByteArray(64 * 64 * 3, '\x80'));
        image.close();
        const QString fax = spool.path() + QStringLiteral("/recvq/fax00011.tif");
        QCOMPARE(QProcess::execute(QStringLiteral("ppm2tiff"), {ppm, fax}), 0);
        QCOMPARE(QProcess::execute(QStringLiteral("chown"), {QStringLiteral("uucp:uucp"), fax}), 0);
        const qsizetype said = receiver->said().size();
        QCOMPARE(spool.faxrcvd(QStringLiteral("fax00011.tif"), QStringLiteral("000001100")), 0);
        QTRY_VERIFY_WITH_TIMEOUT(receiver->said().mid(said).contains("with its document"), 30000);
        History history;
        QVERIFY(history.open());
        const History::Entry entry = history.entry(history.idOf(QStringLiteral("fax1/000001100")));
        QVERIFY2(!entry.document.isEmpty(), monitor.said().constData());
        QVERIFY(entry.picture.isEmpty());
    }

    // What the monitor does not make into a document still has its notice;
    // the reason is said, once. A file refused at once is not announced;
    // one whose conversion fails is, and the desktops are told none comes.
    void refusedFilesStillHaveTheirNotice_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("file");
        QTest::addColumn<QString>("reason");
        QTest::addColumn<bool>("announced");
        QTest::newRow("not a TIFF") << "fax00003.tif" << "recvq/fax00003.tif" << "tiff2pdf failed" << true;
        // tiff2pdf makes a blank PDF of it, and says it is done.
        QTest::newRow("a strip past the end") << "fax00007.tif" << "recvq/fax00007.tif" << "the fax cannot be read" << true;
        QTest::newRow("a tool that hangs") << "hangs.tif" << "recvq/hangs.tif" << "tiff2pdf took longer than 10 s" << true;
        // A tool that would take 700 MiB is stopped at its ceiling.
        QTest::newRow("a greedy tool") << "greedy.tif" << "recvq/greedy.tif" << "tiff2pdf failed" << true;
        QTest::newRow("out of recvq") << "" << "etc/config" << "is not a file the fax server received" << false;
        QTest::newRow("up and out") << "" << "recvq/../../../etc/shadow" << "is not a file the fax server received" << false;
        // A folder whose name begins as recvq's does is not recvq.
        QTest::newRow("beside recvq") << "" << "recvq2/fax00008.tif" << "is not a file the fax server received" << false;
        QTest::newRow("a link out") << "fax00004.tif" << "recvq/fax00004.tif" << "is not a file the fax server received" << false;
        QTest::newRow("not the fax user's") << "fax00005.tif" << "recvq/fax00005.tif" << "is not the fax server's" << false;
        QTest::newRow("a folder") << "fax00006.tif" << "recvq/fax00006.tif" << "it is not a regular file" << false;
    }

    void refusedFilesStillHaveTheirNotice()
    {
        QFETCH(QString, name);
        QFETCH(QString, file);
        QFETCH(QString, reason);
        QFETCH(bool, announced);
        const QString path = spool.path() + QStringLiteral("/recvq/") + name;
        const QByteArray tag = QTest::currentDataTag();
        if (tag == "not a TIFF" || tag == "a tool that hangs" || tag == "not the fax user's") {
            QVERIFY(!writeFile(QStringLiteral("fake.tif"), "II*\0 no more").isEmpty());
            QVERIFY(QFile::copy(work.filePath(QStringLiteral("fake.tif")), path));
            if (tag != "not the fax user's")
                QCOMPARE(QProcess::execute(QStringLiteral("chown"), {QStringLiteral("uucp"), path}), 0);
        } else if (tag == "beside recvq") {
            QVERIFY(QDir().mkpath(spool.path() + QStringLiteral("/recvq2")));
            QVERIFY(spool.makeFax(QStringLiteral("fax00008.tif"), 1));
            QVERIFY(QFile::rename(spool.path() + QStringLiteral("/recvq/fax00008.tif"),
                                  spool.path() + QStringLiteral("/recvq2/fax00008.tif")));
        } else if (tag == "a greedy tool") {
            QVERIFY(spool.makeFax(name, 1));
        } else if (tag == "a strip past the end") {
            QVERIFY(spool.makeLongFax(name, 3000, true));
        } else if (tag == "a link out") {
            QVERIFY(QFile::link(QStringLiteral("/etc/passwd"), path));
        } else if (tag == "a folder") {
            QVERIFY(QDir().mkpath(path));
            QCOMPARE(QProcess::execute(QStringLiteral("chown"), {QStringLiteral("uucp"), path}), 0);
        }
        static int number = 300;
        const QByteArray commId = "000000" + QByteArray::number(++number);
        const QByteArray sender = "refused " + tag;
        QString error;
        QVERIFY2(MonitorProtocol::post(monitor.folder(),
                                       {"2026:12:07 07:00:00", sender, "0312345678", "", "1", "", file.toUtf8(), commId},
                                       5000, &error),
                 qPrintable(error));
        // (A tool that hangs is given its 10 s.)
        QTRY_VERIFY_WITH_TIMEOUT(monitor.said().contains("reception " + commId + " cannot be published"), 20000);
        QVERIFY2(monitor.said().contains(reason.toUtf8()), monitor.said().constData());
        QTRY_VERIFY(shown(QString::fromUtf8(sender)));
        History history;
        QVERIFY(history.open());
        const qint64 entry = history.idOf(QStringLiteral("fax1/") + QString::fromLatin1(commId));
        QVERIFY(entry != 0);
        // Not announced: the desk knows at once that none comes.
        QTRY_VERIFY(history.entry(entry).documentError.contains(announced ? reason : QStringLiteral("文書は送られません")));
    }

    // kavrel-r keeps only what is what it says, under names of its own:
    // whatever else comes on the documents' topics is refused and counted.
    void receiverRefusesWhatIsNoDocument_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QByteArray>("reason");
        QTest::newRow("not a PDF") << "document" << QByteArray("<html>open me</html>") << QByteArray("refused the document");
        QTest::newRow("a PDF cut short") << "document" << QByteArray("%PDF-1.4\n1 0 obj\n") << QByteArray("refused the document");
        QTest::newRow("not a picture") << "picture" << QByteArray("\x89PNG\r\n\x1a\n broken") << QByteArray("refused the picture");
        QTest::newRow("too large") << "document" << QByteArray("%PDF-1.4\n") + QByteArray(51 * 1024 * 1024, ' ') + "\n%%EOF\n"
                                   << QByteArray("over 52428800 bytes");
        QTest::newRow("picture too large") << "picture" << QByteArray("\x89PNG\r\n\x1a\n") + QByteArray(2 * 1024 * 1024, ' ')
                                           << QByteArray("over 1048576 bytes");
        // Its first and last bytes say PDF; what is between does not open.
        QTest::newRow("a PDF of junk") << "document" << QByteArray("%PDF-1.4\n<html>open me</html>\n\x01\x02junk\n%%EOF\n")
                                       << QByteArray("does not open as a PDF");
        // A real PDF of one page, for a reception of three.
        QTest::newRow("pages not the reception's") << "document" << QByteArray("pdf of one page")
                                                   << QByteArray("it has 1 pages where its reception says 3");
    }

    void receiverRefusesWhatIsNoDocument()
    {
        QFETCH(QString, kind);
        QFETCH(QByteArray, bytes);
        QFETCH(QByteArray, reason);
        const QStringList before = keptFiles();
        const qsizetype said = receiver->said().size();
        QString file = writeFile(QStringLiteral("published"), bytes);
        if (bytes == "pdf of one page") {
            QVERIFY(spool.makeFax(QStringLiteral("one.tif"), 1));
            file = work.filePath(QStringLiteral("one.pdf"));
            QCOMPARE(QProcess::execute(QStringLiteral("tiff2pdf"),
                                       {QStringLiteral("-o"), file, spool.path() + QStringLiteral("/recvq/one.tif")}),
                     0);
            const QByteArray reception = "{\"line\":\"2026/12/07 07:00:00,three pages,,,3,OK\",\"commid\":\"000000999\","
                                         "\"document\":\"d\"}";
            QVERIFY(publish(QStringLiteral("kavrel/fax/other/all/reception"), writeFile(QStringLiteral("r"), reception)));
            QTRY_VERIFY(shown(QStringLiteral("three pages")));
        }
        // Read afresh each time: the receiver writes the file.
        const auto count = [] {
            History history;
            return history.open() ? history.count() : -1;
        };
        const auto latest = [] {
            History history;
            return history.open() && history.count() > 0 ? history.entries(1).first().text : QString();
        };
        const int rows = count();
        // Another fax server's, on the layout's topic; never a reception.
        QVERIFY(publish(QStringLiteral("kavrel/fax/other/all/%1/000000999").arg(kind), file));
        QTRY_VERIFY_WITH_TIMEOUT(receiver->said().mid(said).contains(reason), 10000);
        QCOMPARE(keptFiles(), before);
        // A reception after it is the one row more.
        QVERIFY(!writeFile(QStringLiteral("reception"), QByteArray("after ") + QTest::currentDataTag()).isEmpty());
        QVERIFY(publish(QStringLiteral("kavrel/fax/other/all/reception"), work.filePath(QStringLiteral("reception"))));
        QTRY_COMPARE(latest(), QStringLiteral("after ") + QString::fromLatin1(QTest::currentDataTag()));
        QCOMPARE(count(), rows + 1);
        if (bytes == "pdf of one page") {
            // Its reception says that no document will come, and why.
            History history;
            QVERIFY(history.open());
            QTRY_VERIFY(history.entry(history.idOf(QStringLiteral("other/000000999"))).documentError.contains(
                QStringLiteral("正しくありませんでした")));
        }
    }
};

QTEST_MAIN(TestDocuments)
#include "tst_documents.moc"

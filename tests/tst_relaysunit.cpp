// The fax monitor's relays, as parts: what they decide without a broker.

#include "faxmonitor/relays.h"
#include "faxmonitor/textreader.h"

#include <QFile>
#include <QSignalSpy>

#include <fcntl.h>
#include <QTemporaryDir>
#include <QtTest>

class TestRelaysUnit : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // Each configuration as the monitor reads it at start: what cannot be
    // used is said, one a line, and what can is set up all the same.
    void configurationRead_data()
    {
        QTest::addColumn<QByteArray>("config");
        QTest::addColumn<QString>("problem"); // empty: none
        QTest::addColumn<int>("destinations");
        QTest::addColumn<bool>("mqtt");
        const QByteArray broker = "[MQTT]\nBroker=mqtt://127.0.0.1:1\n";
        QTest::newRow("none") << QByteArray() << "" << 0 << false;
        QTest::newRow("a destination") << QByteArray("[Datagrams]\nDestinations=127.0.0.1:21825\n") << "" << 1 << false;
        QTest::newRow("one bad of two") << QByteArray("[Datagrams]\nDestinations=127.0.0.1:21825, 192.168.1.300:21825\n")
                                        << "192.168.1.300:21825 cannot be used" << 1 << false;
        QTest::newRow("unknown key") << QByteArray("[Datagrams]\nDestination=127.0.0.1:21825\n")
                                     << "unknown key Datagrams/Destination" << 0 << false;
        QTest::newRow("not INI") << QByteArray("\xff\xfe\x00garbage[") << "" << 0 << false;
        QTest::newRow("no broker") << QByteArray("[MQTT]\nTopic=kavrel/fax/received\n") << "[MQTT] has no Broker" << 0 << false;
        QTest::newRow("a broker") << broker << "" << 0 << true;
        QTest::newRow("TLS without a CA") << QByteArray("[MQTT]\nBroker=mqtts://127.0.0.1:1\n") << "needs a CAFile" << 0 << false;
        QTest::newRow("CA not there") << QByteArray("[MQTT]\nBroker=mqtts://127.0.0.1:1\nCAFile=/nonexistent/ca.pem\n")
                                      << "the CA file: /nonexistent/ca.pem is not there" << 0 << false;
        QTest::newRow("password file not there") << broker + "PasswordFile=/nonexistent/pw\n"
                                                 << "the password file: /nonexistent/pw is not there" << 0 << false;
        QTest::newRow("wildcard topic") << broker + "Topic=kavrel/#\n" << "has no wildcards" << 0 << false;
        QTest::newRow("server not a level") << broker + "Server=fax/1\n" << "MQTT/Server" << 0 << false;
        QTest::newRow("server a kind's word") << broker + "Server=document\n" << "MQTT/Server" << 0 << false;
        QTest::newRow("documents without a broker") << QByteArray("[Documents]\nPublish=true\n")
                                                    << "documents travel through the broker" << 0 << false;
        QTest::newRow("documents neither true nor false") << broker + "[Documents]\nPublish=yes\n"
                                                          << "Documents/Publish is true or false" << 0 << true;
        QTest::newRow("text without documents") << broker + "[Documents]\nText=true\n"
                                                << "Documents/Text needs Documents/Publish=true" << 0 << true;
        QTest::newRow("text neither true nor false") << broker + "[Documents]\nPublish=true\nText=yes\n"
                                                     << "Documents/Text is true or false" << 0 << true;
        QTest::newRow("text of no pages") << broker + "[Documents]\nPublish=true\nText=true\nTextPages=0\n"
                                          << "Documents/TextPages is a number of pages from 1, not '0'" << 0 << true;
        // Routing that cannot be used is refused with its line and why;
        // the receptions are relayed all the same (to the default
        // department).
        const QByteArray datagrams = "[Datagrams]\nDestinations=127.0.0.1:21825\n";
        const QByteArray sales = "[Departments]\nsales=営業部\n";
        QTest::newRow("departments and their datagrams")
            << datagrams + sales + "[Routes]\ncaller 03* = sales\n[Datagrams]\nsales=127.0.0.1:21826\n[Groups]\nsales=users\n"
            << "" << 2 << false;
        QTest::newRow("unknown field") << datagrams + sales + "[Routes]\ncolour red = sales\n"
                                       << "line 6: \"colour\" is no field" << 1 << false;
        QTest::newRow("empty department") << datagrams + sales + "[Routes]\ncaller 03 =\n"
                                          << "line 6: the rule names no department" << 1 << false;
        QTest::newRow("unknown department") << datagrams + sales + "[Routes]\ncaller 03 = payroll\n"
                                            << "line 6: the department payroll is not one of" << 1 << false;
        QTest::newRow("duplicate id") << datagrams + sales + "sales=販売\n" << "line 5: the department sales is named twice"
                                      << 1 << false;
        QTest::newRow("id not a level") << datagrams + "[Departments]\n営業=営業部\n"
                                        << "line 4: the department id \"営業\" cannot stand in a topic" << 1 << false;
        QTest::newRow("id a kind's word") << datagrams + "[Departments]\nstate=状態\n"
                                          << "line 4: the department id \"state\" cannot stand" << 1 << false;
        QTest::newRow("nothing to match") << datagrams + sales + "[Routes]\ndevice = sales\n"
                                          << "line 6: the rule on device has nothing to match" << 1 << false;
        QTest::newRow("a prefix of nothing") << datagrams + sales + "[Routes]\ncaller * = sales\n"
                                             << "line 6: the rule on caller has nothing to match" << 1 << false;
        QTest::newRow("unknown default") << datagrams + sales + "Default=payroll\n"
                                         << "line 5: the default department payroll is not one of" << 1 << false;
        QTest::newRow("an id that is a key of [Datagrams]") << datagrams + "[Departments]\nDestinations=宛先\n"
                                                            << "line 4: \"Destinations\" cannot be a department id" << 1 << false;
        QTest::newRow("datagrams of no department") << datagrams + "[Datagrams]\nsales=127.0.0.1:21826\n"
                                                    << "unknown key Datagrams/sales" << 1 << false;
    }

    void configurationRead()
    {
        QFETCH(QByteArray, config);
        QFETCH(QString, problem);
        QFETCH(int, destinations);
        QFETCH(bool, mqtt);
        QTemporaryDir folder;
        QFile file(folder.filePath(QStringLiteral("faxmon.conf")));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(config);
        file.close();
        Relays relays;
        QString error;
        const bool clean = relays.load(file.fileName(), &error);
        if (QByteArray(QTest::currentDataTag()) == "not INI") {
            // Read as INI all the same, or refused: said either way.
            QVERIFY(clean || !error.isEmpty());
        } else {
            QCOMPARE(clean, problem.isEmpty());
            QVERIFY2(error.contains(problem), qPrintable(error));
        }
        QCOMPARE(relays.destinations(), destinations);
        QCOMPARE(relays.mqtt() != nullptr, mqtt);
    }

    // Each reception goes to the departments of the first rule that takes
    // it, or to the default department: numbers and TSIs without their
    // blanks and hyphens, names by words in any width or case.
    void routed_data()
    {
        QTest::addColumn<QByteArray>("routes");
        QTest::addColumn<QStringList>("post"); // TSI, number, name, device, called
        QTest::addColumn<QStringList>("departments");
        const QByteArray rules = "device ttyACM1 = payroll\n"
                                 "called 03-1234-5679 = payroll\n"
                                 "name ヤマダ 商事 = sales, payroll\n"
                                 "caller 0312345678 = sales\n"
                                 "caller 06* = sales\n"
                                 "caller 0612* = payroll\n"
                                 "tsi +81 3 1111 2222 = payroll\n";
        const QStringList none{QString(), QString(), QString(), QString(), QString()};
        auto post = [](const char *tsi, const char *number, const char *name, const char *device, const char *called) {
            return QStringList{QString::fromUtf8(tsi), QString::fromUtf8(number), QString::fromUtf8(name),
                               QString::fromUtf8(device), QString::fromUtf8(called)};
        };
        QTest::newRow("nothing known") << rules << none << QStringList{QStringLiteral("all")};
        QTest::newRow("device") << rules << post("", "0312345678", "", "ttyACM1", "") << QStringList{QStringLiteral("payroll")};
        QTest::newRow("called, with hyphens") << rules << post("", "", "", "ttyACM0", "0312345679")
                                              << QStringList{QStringLiteral("payroll")};
        QTest::newRow("caller exactly") << rules << post("", "03-1234-5678", "", "ttyACM0", "")
                                        << QStringList{QStringLiteral("sales")};
        QTest::newRow("caller, another") << rules << post("", "0312345670", "", "", "") << QStringList{QStringLiteral("all")};
        QTest::newRow("prefix, the first rule") << rules << post("", "0612345678", "", "", "")
                                                << QStringList{QStringLiteral("sales")};
        QTest::newRow("tsi without blanks") << rules << post("+81311112222", "", "", "", "")
                                            << QStringList{QStringLiteral("payroll")};
        QTest::newRow("name, other words") << rules << post("", "", "ｶ)ﾔﾏﾀﾞ ｼｮｳｼﾞ", "", "")
                                                              << QStringList{QStringLiteral("all")};
        QTest::newRow("name's words in any width") << rules << post("", "0312345678", "株式会社ﾔﾏﾀﾞ 商事", "", "")
                                                   << QStringList{QStringLiteral("sales"), QStringLiteral("payroll")};
        QTest::newRow("name without all its words") << rules << post("", "", "ヤマダ工業", "", "")
                                                    << QStringList{QStringLiteral("all")};
        QTest::newRow("default department, a comment after it") << rules + "[Departments]\nDefault=sales ; the orders\n" << none
                                            << QStringList{QStringLiteral("sales")};
        // Name rules found through the pairs of their longest words: the
        // earlier rule wins wherever its word stands in the name; a word of
        // one character is looked for too.
        const QByteArray names = "name ショウジ = payroll\nname ヤマダ = sales\n";
        QTest::newRow("the earlier name rule, later in the name") << names << post("", "", "ﾔﾏﾀﾞｼｮｳｼﾞ", "", "")
                                                                  << QStringList{QStringLiteral("payroll")};
        QTest::newRow("a word of one character") << QByteArray("name ﾀﾞ = payroll\nname ヤマダ = sales\n") << post("", "", "ヤマダ", "", "")
                                                 << QStringList{QStringLiteral("payroll")};
        QTest::newRow("field and value apart by a tab") << QByteArray("caller\t0312345678 = payroll\n")
                                                        << post("", "0312345678", "", "", "") << QStringList{QStringLiteral("payroll")};
    }

    void routed()
    {
        QFETCH(QByteArray, routes);
        QFETCH(QStringList, post);
        QFETCH(QStringList, departments);
        Routing routing;
        QStringList errors;
        QVERIFY2(routing.load("[Departments]\nsales=営業部\npayroll=給与係\n[Routes]\n" + routes, &errors),
                 qPrintable(errors.join(QLatin1Char('\n'))));
        Reception reception;
        reception.tsi = post.at(0);
        reception.number = post.at(1);
        reception.name = post.at(2);
        reception.device = post.at(3);
        reception.called = post.at(4);
        QCOMPARE(routing.route(reception), departments);
    }

    // Documents wait in a queue of their own, bounded in number and bytes,
    // with room kept for the notices that a document will not come.
    void textRead();
    void verticalWritingReadAsColumns();
    void documentsAdmitted_data()
    {
        QTest::addColumn<int>("queued");
        QTest::addColumn<qint64>("queuedBytes");
        QTest::addColumn<qint64>("bytes");
        QTest::addColumn<bool>("admitted");
        const int last = Relays::MaxBulkQueued - Relays::BulkRoomForNotices;
        const qint64 room = Relays::MaxBulkQueuedBytes - Relays::BulkRoomForNotices * 1024;
        QTest::newRow("empty") << 0 << qint64(0) << qint64(5 << 20) << true;
        QTest::newRow("the last two places") << last - 2 << qint64(0) << qint64(1) << true;
        QTest::newRow("one place short") << last - 1 << qint64(0) << qint64(1) << false;
        QTest::newRow("the notices' room") << Relays::MaxBulkQueued - 2 << qint64(0) << qint64(1) << false;
        QTest::newRow("bytes to the last") << 0 << room - 100 << qint64(100) << true;
        QTest::newRow("a byte over") << 0 << room - 100 << qint64(101) << false;
    }

    void documentsAdmitted()
    {
        QFETCH(int, queued);
        QFETCH(qint64, queuedBytes);
        QFETCH(qint64, bytes);
        QFETCH(bool, admitted);
        QString error;
        QCOMPARE(Relays::admitDocument(queued, queuedBytes, bytes, &error), admitted);
        QCOMPARE(error.isEmpty(), admitted);
    }
};

// A stand-in for one of the reader's tools: a shell script.
static QString script(const QTemporaryDir &folder, const QString &name, const QByteArray &body)
{
    QFile file(folder.filePath(name));
    if (!file.open(QIODevice::WriteOnly))
        return QString();
    file.write("#!/bin/sh\n" + body + "\n");
    file.close();
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::ExeOwner);
    return file.fileName();
}

// What each fax says: read a page at a time, the pages over the bound and
// the faxes over the queue said, a page that fails said and the next read,
// and no Japanese data said at once.
void TestRelaysUnit::textRead()
{
    QTemporaryDir folder;
    QDir(folder.path()).mkdir(QStringLiteral("data"));
    TextReader::Options options;
    options.dataFolder = folder.filePath(QStringLiteral("data"));
    options.maxPages = 2;
    options.maxWaiting = 1;
    // Three pages; the reader of page 2 fails.
    const QString faxPage = script(folder, QStringLiteral("faxpage"),
                                   "echo pages 3; [ \"$2\" = 2 ] && { echo unreadable >&2; exit 2; }; echo \"$2\" > \"$4\"");
    // Its TSV and its text: a line, wide.
    options.tesseract = script(folder, QStringLiteral("tesseract"),
                               "printf '4\\t1\\t1\\t1\\t1\\t0\\t0\\t0\\t90\\t10\\t-1\\t\\n"
                               "5\\t1\\t1\\t1\\t1\\t1\\t0\\t0\\t90\\t10\\t90\\tページ%s\\n"
                               "ページ %s\\n\\f' \"$(cat \"$1\")\" \"$(cat \"$1\")\"");
    TextReader reader;
    QString error, warning;
    QVERIFY(!reader.setUp(options, faxPage, &error, &warning));
    QVERIFY2(error.contains(QStringLiteral("tesseract-ocr-jpn")), qPrintable(error));
    QFile(options.dataFolder + QStringLiteral("/jpn.traineddata")).open(QIODevice::WriteOnly);
    QVERIFY(reader.setUp(options, faxPage, &error, &warning));
    QVERIFY2(warning.contains(QStringLiteral("tesseract-ocr-jpn-vert")), qPrintable(warning));
    QCOMPARE(reader.languages(), QStringLiteral("jpn"));

    QSignalSpy pages(&reader, &TextReader::pageRead);
    QSignalSpy finished(&reader, &TextReader::finished);
    for (const char *commId : {"1", "2", "3"}) {
        auto fax = std::make_shared<ReceivedFax>();
        fax->fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        fax->pages = 3;
        reader.read(QLatin1String(commId), fax);
        // The first is read while the others come.
        QTRY_VERIFY(!pages.isEmpty());
    }
    QTRY_COMPARE(finished.size(), 3);
    // Texts take half the documents' room in the queue at most.
    QVERIFY(Relays::admitText(22, 2));
    QVERIFY(!Relays::admitText(23, 2));
    // What each fax was said to say, in turn.
    QMap<QString, QStringList> said;
    for (const QList<QVariant> &page : std::as_const(pages)) {
        const FaxText text = page.at(1).value<FaxText>();
        said[page.at(0).toString()].append(QStringLiteral("%1 %2").arg(text.page).arg(text.text + text.error));
    }
    const QStringList read{QStringLiteral("1 ページ 1"), QStringLiteral("2 faxpage failed (unreadable)"),
                           QStringLiteral("0 pages 3 to 3 were not read: at most 2 pages of a fax are read")};
    // Fax 2 waited behind 1 while 3 came, and was given up.
    QCOMPARE(said.value(QStringLiteral("1")), read);
    QCOMPARE(said.value(QStringLiteral("2")), QStringList{QStringLiteral("0 not read: 1 faxes waited to be read already")});
    QCOMPARE(said.value(QStringLiteral("3")), read);
}

// A page with columns of vertical writing, or with nothing found, is read
// again as columns, and the surer reading kept; a page of lines is read once.
// Pages: 1 lines; 2 a column, better read as columns; 3 a column, worse read
// as columns; 4 nothing found at first; 5 nothing found, and reading as
// columns hangs (given up soon, not after the tool's whole time, and said);
// 6 nothing found, and the specks read as columns are not kept; 7 more
// written than is read (said, not read in part).
void TestRelaysUnit::verticalWritingReadAsColumns()
{
    QTemporaryDir folder;
    QDir(folder.path()).mkdir(QStringLiteral("data"));
    QFile(folder.filePath(QStringLiteral("data/jpn.traineddata"))).open(QIODevice::WriteOnly);
    const QByteArray wide = "4\t1\t1\t1\t1\t0\t0\t0\t900\t40\t-1\t\n";
    const QByteArray tall = "4\t1\t1\t1\t1\t0\t0\t0\t40\t900\t-1\t\n";
    // A word in the TSV, and as the text has it.
    const auto word = [](const char *text, int confidence) {
        return "5\t1\t1\t1\t1\t1\t0\t0\t40\t40\t" + QByteArray::number(confidence) + "\t" + text + "\n" + text
            + "\n";
    };
    const QMap<QString, QByteArray> readings{
        {QStringLiteral("3-1"), wide + word("横書きの本文", 90)},
        {QStringLiteral("3-2"), tall + word("縦書き", 90)},
        {QStringLiteral("5-2"), tall + word("縦書きの本文", 85)},
        {QStringLiteral("3-3"), tall + word("縦書きの本文", 90)},
        {QStringLiteral("5-3"), tall + word("ゴミ", 30)},
        {QStringLiteral("3-4"), QByteArray("level\tpage_num\n")},
        {QStringLiteral("5-4"), tall + word("縦", 85)},
        {QStringLiteral("3-5"), QByteArray()},
        {QStringLiteral("3-6"), QByteArray()},
        {QStringLiteral("5-6"), tall + word("ー", 40)},
    };
    for (auto it = readings.cbegin(); it != readings.cend(); ++it) {
        QFile file(folder.filePath(QStringLiteral("tsv-") + it.key()));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(it.value());
    }
    TextReader::Options options;
    options.dataFolder = folder.filePath(QStringLiteral("data"));
    options.tesseract = script(folder, QStringLiteral("tesseract"),
                               "d=$(dirname \"$0\"); p=$(cat \"$1\"); echo \"$6\" >> \"$d/layouts\";"
                               "[ \"$6-$p\" = 5-5 ] && exec sleep 600;"
                               "[ \"$6-$p\" = 3-7 ] && { head -c 3000000 /dev/zero | tr '\\0' a; exit 0; }; cat \"$d/tsv-$6-$p\"");
    options.columnsTimeout = 200;
    TextReader reader;
    QString error, warning;
    QVERIFY(reader.setUp(options, script(folder, QStringLiteral("faxpage"), "echo pages 7; echo \"$2\" > \"$4\""), &error,
                         &warning));
    QSignalSpy pages(&reader, &TextReader::pageRead);
    auto fax = std::make_shared<ReceivedFax>();
    fax->fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    fax->pages = 7;
    reader.read(QStringLiteral("1"), fax);
    QTRY_COMPARE_WITH_TIMEOUT(pages.size(), 7, 30000);
    QStringList texts;
    for (const QList<QVariant> &page : std::as_const(pages))
        texts.append(page.at(1).value<FaxText>().text + page.at(1).value<FaxText>().error);
    QCOMPARE(texts, (QStringList{QStringLiteral("横書きの本文"), QStringLiteral("縦書きの本文"), QStringLiteral("縦書きの本文"),
                                 QStringLiteral("縦"),
                                 QStringLiteral("nothing was found on the page, and reading it as columns failed: "
                                                "tesseract took longer than 0.2 s"),
                                 QString(), QStringLiteral("tesseract wrote more than 2048 KiB for the page")}));
    QFile layouts(folder.filePath(QStringLiteral("layouts")));
    QVERIFY(layouts.open(QIODevice::ReadOnly));
    QCOMPARE(layouts.readAll(), QByteArray("3\n3\n5\n3\n5\n3\n5\n3\n5\n3\n5\n3\n"));
    // The text as tesseract wrote it, whatever comes first; a column of two
    // characters is no vertical writing.
    const TextReader::Reading read = TextReader::reading(
        "level\tpage_num\tblock_num\tpar_num\tline_num\tword_num\tleft\ttop\twidth\theight\tconf\ttext\n"
        "4\t1\t1\t1\t1\t0\t0\t0\t40\t900\t-1\t\n5\t1\t1\t1\t1\t1\t0\t0\t40\t40\t50\t御見積\n"
        "5\t1\t1\t1\t1\t2\t0\t0\t40\t40\t-1\t \n5\t1\t1\t1\t1\t3\t0\t0\t40\t40\t100\tNo.\n"
        "4\t1\t1\t1\t2\t0\t0\t0\t40\t900\t-1\t\n5\t1\t1\t1\t2\t1\t0\t0\t40\t40\t80\t佐藤\n"
        "2\t1\t2\t0\t0\t0\t0\t0\t40\t40\t-1\t\n5\t1\t2\t1\t1\t1\t0\t0\t40\t40\t80\t様\n"
        "御見積 No.\n佐藤\n\n様\n\f");
    QCOMPARE(read.text, QStringLiteral("御見積 No.\n佐藤\n\n様"));
    QCOMPARE(read.verticalLines, 1);
    QCOMPARE(read.characters, 9);
    QCOMPARE(read.score, 3 * 50 + 3 * 100 + 2 * 80 + 80.0);
}

QTEST_GUILESS_MAIN(TestRelaysUnit)
#include "tst_relaysunit.moc"

// What every program reads the same way: the broker's topic layout, and a
// reception as the hook posts it.

#include "core/faxstate.h"
#include "core/faxtext.h"
#include "core/reception.h"
#include "core/topics.h"

#include <QtTest>

class TestCore : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // Each topic is known by where it stands under the root, whatever
    // subscription brought it; anything else is no topic of the layout.
    void topicsParse_data()
    {
        QTest::addColumn<QString>("topic");
        QTest::addColumn<int>("kind");
        QTest::addColumn<QString>("server");
        QTest::addColumn<QString>("department");
        QTest::addColumn<QString>("commId");
        using K = Topics::Kind;
        const QString root = QStringLiteral("kavrel/fax");
        QTest::newRow("reception") << Topics::reception(root, QStringLiteral("fax1"), QStringLiteral("sales"))
                                   << int(K::Reception) << "fax1" << "sales" << "";
        QTest::newRow("document") << Topics::document(root, QStringLiteral("fax1"), QStringLiteral("all"), QStringLiteral("000000123"))
                                  << int(K::Document) << "fax1" << "all" << "000000123";
        QTest::newRow("picture") << Topics::picture(root, QStringLiteral("f"), QStringLiteral("a"), QStringLiteral("7"))
                                 << int(K::Picture) << "f" << "a" << "7";
        QTest::newRow("text") << Topics::text(root, QStringLiteral("f"), QStringLiteral("a"), QStringLiteral("7"))
                              << int(K::Text) << "f" << "a" << "7";
        QTest::newRow("state") << Topics::state(root, QStringLiteral("f"), QStringLiteral("a"), QStringLiteral("7"))
                               << int(K::State) << "f" << "a" << "7";
        QTest::newRow("departments") << Topics::departments(root, QStringLiteral("f")) << int(K::Departments) << "f" << "" << "";
        QTest::newRow("about") << Topics::about(root, QStringLiteral("f"), QStringLiteral("a")) << int(K::About) << "f" << "a" << "";
        QTest::newRow("request") << Topics::request(root, QStringLiteral("f"), QStringLiteral("yamada"), QStringLiteral("7"))
                                 << int(K::Request) << "f" << "" << "7";
        QTest::newRow("1.x reception") << "kavrel/fax/received" << int(K::OldReception) << "" << "" << "";
        // 1.x documents stood one level under the root: no reception.
        QTest::newRow("1.x document") << "kavrel/fax/document/000000123" << int(K::Unknown) << "" << "" << "";
        QTest::newRow("another root") << "kavrel/faxes/f/a/reception" << int(K::Unknown) << "" << "" << "";
        QTest::newRow("a level more") << "kavrel/fax/f/a/document/7/1" << int(K::Unknown) << "" << "" << "";
        QTest::newRow("unknown kind") << "kavrel/fax/f/a/pdf/7" << int(K::Unknown) << "" << "" << "";
        // Odd communication ids are never taken for anything.
        QTest::newRow("id with a blank") << "kavrel/fax/f/a/document/a b" << int(K::Unknown) << "" << "" << "";
        QTest::newRow("id in kana") << "kavrel/fax/f/a/document/ｱｲｳ" << int(K::Unknown) << "" << "" << "";
        QTest::newRow("id with a hyphen") << "kavrel/fax/f/a/document/x-y" << int(K::Unknown) << "" << "" << "";
        QTest::newRow("id of 65 digits") << QStringLiteral("kavrel/fax/f/a/document/") + QString(65, QLatin1Char('1')) << int(K::Unknown)
                                         << "" << "" << "";
        QTest::newRow("id of 64 digits") << QStringLiteral("kavrel/fax/f/a/document/") + QString(64, QLatin1Char('1')) << int(K::Document)
                                         << "f" << "a" << QString(64, QLatin1Char('1'));
        QTest::newRow("empty department") << "kavrel/fax/f//reception" << int(K::Unknown) << "" << "" << "";
        QTest::newRow("department ..") << "kavrel/fax/f/../reception" << int(K::Unknown) << "" << "" << "";
    }

    void topicsParse()
    {
        QFETCH(QString, topic);
        QFETCH(int, kind);
        QFETCH(QString, server);
        QFETCH(QString, department);
        QFETCH(QString, commId);
        const Topics::Address address = Topics::parse(QStringLiteral("kavrel/fax"), topic);
        QCOMPARE(int(address.kind), kind);
        QCOMPARE(address.server, server);
        QCOMPARE(address.department, department);
        QCOMPARE(address.commId, commId);
        // A filter for the kind takes it (the broker matches as parse does).
        if (kind != int(Topics::Kind::Unknown) && kind != int(Topics::Kind::OldReception)) {
            const QStringList filter = Topics::filter(QStringLiteral("kavrel/fax"), Topics::Kind(kind)).split(QLatin1Char('/'));
            const QStringList levels = topic.split(QLatin1Char('/'));
            QCOMPARE(filter.size(), levels.size());
            for (int i = 0; i < levels.size(); ++i)
                QVERIFY2(filter.at(i) == QLatin1String("+") || filter.at(i) == levels.at(i), qPrintable(topic));
        }
    }

    // What older versions kept as the topic stands for the root it meant.
    void topicRoots_data()
    {
        QTest::addColumn<QString>("setting");
        QTest::addColumn<QString>("root");
        QTest::newRow("1.x receptions' topic") << "kavrel/fax/received" << "kavrel/fax";
        QTest::newRow("1.x topic of an office") << " office/fax/incoming " << "office/fax";
        QTest::newRow("one level") << "fax" << "fax";
        QTest::newRow("all of kavrel") << "kavrel/#" << "kavrel/fax";
        QTest::newRow("everything") << "#" << "kavrel/fax";
        QTest::newRow("a root before a wildcard") << "office/+/received" << "office";
        QTest::newRow("not a level prefix") << "kav/#" << "kav";
        QTest::newRow("empty") << "" << "kavrel/fax";
    }

    void topicRoots()
    {
        QFETCH(QString, setting);
        QFETCH(QString, root);
        QCOMPARE(Topics::rootOf(setting), root);
    }

    void serverLevels_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("level");
        QTest::newRow("name") << "fax-1.office_2" << true;
        QTest::newRow("empty") << "" << false;
        QTest::newRow("slash") << "fax/1" << false;
        QTest::newRow("wildcard") << "+" << false;
        QTest::newRow("dot dot") << ".." << false;
        QTest::newRow("kana") << "ﾌｧｸｽ" << false;
        QTest::newRow("a kind's word") << "document" << false;
        QTest::newRow("the 1.x level") << "received" << false;
        QTest::newRow("64") << QString(64, QLatin1Char('a')) << true;
        QTest::newRow("65") << QString(65, QLatin1Char('a')) << false;
    }

    void serverLevels()
    {
        QFETCH(QString, text);
        QFETCH(bool, level);
        QString error;
        QCOMPARE(Topics::checkLevel(text, &error), level);
        QCOMPARE(error.isEmpty(), level);
        QCOMPARE(Topics::serverFromHostName(QStringLiteral("FAX_1.office.example")), QStringLiteral("fax1"));
        QCOMPARE(Topics::serverFromHostName(QStringLiteral("ﾌｧｸｽ")), QStringLiteral("faxserver"));
    }

    // A post as the hook makes it: fields cleaned, the status a failure
    // unless HylaFAX gave no message, and a communication id kept only
    // when it can name topics and files.
    void receptionFromPost_data()
    {
        QTest::addColumn<QList<QByteArray>>("fields");
        QTest::addColumn<QString>("line");
        QTest::addColumn<QString>("commId");
        QTest::addColumn<QString>("badCommId");
        QTest::newRow("six fields") << QList<QByteArray>{"2026:12:07 06:38:44", "81 3", "03", "ﾔﾏﾀﾞ", "1", ""}
                                    << "2026/12/07 06:38:44,81 3,03,ﾔﾏﾀﾞ,1,OK" << "" << "";
        QTest::newRow("eight fields") << QList<QByteArray>{"2026:12:07 06:38:44", "a,b", "03", "x\ny", "2", "", "recvq/f.tif", "000000123"}
                                      << "2026/12/07 06:38:44,a b,03,x y,2,OK" << "000000123" << "";
        QTest::newRow("failure") << QList<QByteArray>{"2026:12:07 06:38:44", "", "", "", "0", "No carrier"}
                                 << "2026/12/07 06:38:44,,,,0,No carrier" << "" << "";
        QTest::newRow("message of blanks") << QList<QByteArray>{"2026:12:07 06:38:44", "", "", "", "0", "  "}
                                           << "2026/12/07 06:38:44,,,,0,受信エラー" << "" << "";
        QTest::newRow("a message that reads OK") << QList<QByteArray>{"2026:12:07 06:38:44", "", "", "", "0", "OK"}
                                                 << "2026/12/07 06:38:44,,,,0,受信エラー：OK" << "" << "";
        QTest::newRow("odd id") << QList<QByteArray>{"2026:12:07 06:38:44", "", "", "", "1", "", "recvq/f.tif", "x-y"}
                                << "2026/12/07 06:38:44,,,,1,OK" << "" << "x-y";
        QTest::newRow("id of 65 digits")
            << QList<QByteArray>{"2026:12:07 06:38:44", "", "", "", "1", "", "recvq/f.tif", QByteArray(65, '1')}
            << "2026/12/07 06:38:44,,,,1,OK" << "" << QString(65, QLatin1Char('1'));
    }

    void receptionFromPost()
    {
        QFETCH(QList<QByteArray>, fields);
        QFETCH(QString, line);
        QFETCH(QString, commId);
        QFETCH(QString, badCommId);
        const Reception reception = Reception::fromPost(fields);
        QCOMPARE(QString::fromUtf8(reception.line()), line);
        QCOMPARE(reception.commId, commId);
        QCOMPARE(reception.badCommId, badCommId);
        Reception read;
        QVERIFY(Reception::fromLine(line, &read));
        QCOMPARE(read.line(), reception.line());
    }

    // A state as a desk reads it from the broker: what is none, or too
    // large, is refused; what a person typed is bounded.
    void faxStateRead_data()
    {
        QTest::addColumn<QByteArray>("payload");
        QTest::addColumn<int>("state");
        QTest::addColumn<int>("nameLength");
        QTest::newRow("taken") << QByteArray(R"({"state":"taken","at":"2026-12-08T10:31:00+09:00","user":"yamada","name":"山田"})")
                               << int(FaxState::Taken) << 2;
        QTest::newRow("open, nobody") << QByteArray(R"({"state":"open"})") << int(FaxState::Open) << 0;
        QTest::newRow("taken by nobody") << QByteArray(R"({"state":"taken"})") << int(FaxState::Unknown) << 0;
        QTest::newRow("no such state") << QByteArray(R"({"state":"stolen","user":"x"})") << int(FaxState::Unknown) << 0;
        QTest::newRow("no JSON") << QByteArray("taken") << int(FaxState::Unknown) << 0;
        QTest::newRow("a name too long, cut")
            << (R"({"state":"done","user":"x","name":")" + QByteArray(300, 'a') + R"("})") << int(FaxState::Done) << 200;
        QTest::newRow("too large")
            << (R"({"state":"done","user":"x","memo":")" + QByteArray(4096, 'a') + R"("})") << int(FaxState::Unknown) << 0;
    }

    void faxStateRead()
    {
        QFETCH(QByteArray, payload);
        QFETCH(int, state);
        QFETCH(int, nameLength);
        const FaxState read = FaxState::fromJson(payload);
        QCOMPARE(int(read.state), state);
        QCOMPARE(int(read.name.size()), nameLength);
        // Said and read again, the same.
        if (read.isKnown())
            QCOMPARE(FaxState::fromJson(read.toJson()), read);
    }

    // A page's text as a desk reads it: what is none is refused; a text is
    // cut to its bound at a character.
    void faxTextRead_data()
    {
        QTest::addColumn<QByteArray>("payload");
        QTest::addColumn<bool>("taken");
        QTest::newRow("a page") << QByteArray(R"({"page":2,"pages":3,"text":"見積"})") << true;
        QTest::newRow("a page not read") << QByteArray(R"({"page":2,"pages":3,"error":"took long"})") << true;
        QTest::newRow("the fax, said") << QByteArray(R"({"page":0,"pages":30,"error":"not read"})") << true;
        QTest::newRow("the fax, with text") << QByteArray(R"({"page":0,"pages":3,"text":"x"})") << false;
        QTest::newRow("text and error") << QByteArray(R"({"page":1,"pages":3,"text":"x","error":"y"})") << false;
        QTest::newRow("past its pages") << QByteArray(R"({"page":4,"pages":3,"text":"x"})") << false;
        QTest::newRow("too large") << (R"({"page":1,"pages":1,"text":")" + QByteArray(FaxText::MaxMessageBytes, 'a') + R"("})")
                                   << false;
    }
    void faxTextRead()
    {
        QFETCH(QByteArray, payload);
        QFETCH(bool, taken);
        FaxText text;
        QString error;
        QCOMPARE(FaxText::fromJson(payload, &text, &error), taken);
        // At a character: three bytes each, the bound falling on one and
        // inside one.
        const QString kana(20000, QChar(0x3042));
        QCOMPARE(FaxText::cut(kana, 30).size(), 10);
        QCOMPARE(FaxText::cut(kana, 31).size(), 10);
        QCOMPARE(FaxText::cut(kana, 29).size(), 9);
        QCOMPARE(FaxText::cut(kana, FaxText::MaxTextBytes + 3).size(), (FaxText::MaxTextBytes + 3) / 3);
    }
};

QTEST_GUILESS_MAIN(TestCore)
#include "tst_core.moc"

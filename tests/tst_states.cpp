// The faxes' shared states as the fax monitor decides them: requests taken
// or refused, what is said to the broker, kept over a restart, and bounded.

#include "core/reception.h"
#include "faxmonitor/statekeeper.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QtTest>

namespace {

Reception fax(const char *commId)
{
    Reception reception;
    reception.commId = QLatin1String(commId);
    return reception;
}

} // namespace

class TestStates : public QObject
{
    Q_OBJECT

    QTemporaryDir folder;
    QList<QPair<QString, QByteArray>> said;

    std::unique_ptr<StateKeeper> keeper(const QString &name)
    {
        auto keeper = std::make_unique<StateKeeper>();
        QString error;
        if (!keeper->open(folder.filePath(name), &error))
            qWarning() << error;
        keeper->setPublisher([this](const QString &topic, const QByteArray &payload) { said.append({topic, payload}); },
                             QStringLiteral("kavrel/fax"), QStringLiteral("fax1"));
        return keeper;
    }

private Q_SLOTS:
    void init() { said.clear(); }

    // Requests in order, as several desks make them: the first 担当する
    // holds the fax; what is not allowed, not a request or about no fax
    // known here is refused, said why, and changes nothing.
    void requestsDecided_data()
    {
        QTest::addColumn<QStringList>("requests"); // user|commid|payload
        QTest::addColumn<QString>("refused");       // of the last; empty when taken
        QTest::addColumn<QString>("state");
        QTest::addColumn<QString>("name");
        const QString take = QStringLiteral("%1|000000001|{\"action\":\"take\",\"name\":\"%2\"}");
        const QString aliceTakes = take.arg(QStringLiteral("alice"), QStringLiteral("山田"));
        QTest::newRow("the first take") << QStringList{aliceTakes} << "" << "taken" << "山田";
        QTest::newRow("a second take, told who has it")
            << QStringList{aliceTakes, take.arg(QStringLiteral("bob"), QStringLiteral("佐藤"))} << "which 山田 has" << "taken" << "山田";
        QTest::newRow("another person of the same account")
            << QStringList{aliceTakes, take.arg(QStringLiteral("alice"), QStringLiteral("佐藤"))} << "which 山田 has" << "taken" << "山田";
        QTest::newRow("let go by another") << QStringList{aliceTakes, QStringLiteral("bob|000000001|{\"action\":\"release\"}")}
                                           << "does not have" << "taken" << "山田";
        QTest::newRow("let go by who has it") << QStringList{aliceTakes, QStringLiteral("alice|000000001|{\"action\":\"release\"}")}
                                              << "" << "open" << "";
        QTest::newRow("done, never taken") << QStringList{QStringLiteral("bob|000000001|{\"action\":\"done\",\"name\":\"佐藤\"}")}
                                           << "" << "done" << "佐藤";
        QTest::newRow("done by another than who has it")
            << QStringList{aliceTakes, QStringLiteral("bob|000000001|{\"action\":\"done\"}")} << "which 山田 has" << "taken" << "山田";
        QTest::newRow("done undone by who made it done")
            << QStringList{QStringLiteral("bob|000000001|{\"action\":\"done\",\"name\":\"佐藤\"}"),
                           QStringLiteral("bob|000000001|{\"action\":\"release\"}")}
            << "" << "open" << "";
        QTest::newRow("done undone by another")
            << QStringList{QStringLiteral("bob|000000001|{\"action\":\"done\",\"name\":\"佐藤\"}"),
                           QStringLiteral("alice|000000001|{\"action\":\"release\"}")}
            << "does not have" << "done" << "佐藤";
        QTest::newRow("taking one done") << QStringList{QStringLiteral("bob|000000001|{\"action\":\"done\",\"name\":\"佐藤\"}"), aliceTakes}
                                         << "which is done" << "done" << "佐藤";
        QTest::newRow("a fax not known here") << QStringList{QStringLiteral("alice|000000999|{\"action\":\"take\"}")}
                                              << "not known here" << "open" << "";
        QTest::newRow("not JSON") << QStringList{QStringLiteral("alice|000000001|take")} << "no JSON object" << "open" << "";
        QTest::newRow("too large") << QStringList{QStringLiteral("alice|000000001|{\"action\":\"take\",\"name\":\"%1\"}")
                                                      .arg(QString(StateKeeper::MaxRequestSize, QLatin1Char('x')))}
                                   << "bytes" << "open" << "";
        QTest::newRow("no such request") << QStringList{QStringLiteral("alice|000000001|{\"action\":\"steal\"}")} << "no such request"
                                         << "open" << "";
        QTest::newRow("a user that is no topic level") << QStringList{QStringLiteral("a/b|000000001|{\"action\":\"take\"}")}
                                                       << "names no user" << "open" << "";
        QTest::newRow("a memo too long")
            << QStringList{QStringLiteral("alice|000000001|{\"action\":\"memo\",\"memo\":\"%1\"}").arg(QString(201, QChar(0x3042)))}
            << "at most 200" << "open" << "";
        QTest::newRow("a name on one line") << QStringList{take.arg(QStringLiteral("alice"), QStringLiteral("山田\\n\\u0007太郎"))}
                                            << "" << "taken" << "山田 太郎";
    }

    void requestsDecided()
    {
        QFETCH(QStringList, requests);
        QFETCH(QString, refused);
        QFETCH(QString, state);
        QFETCH(QString, name);
        static int row = 0;
        auto states = keeper(QStringLiteral("requests-%1.sqlite").arg(++row));
        states->add(fax("000000001"), {QStringLiteral("sales"), QStringLiteral("payroll")});
        QCOMPARE(said.size(), 2);
        bool taken = true;
        QString why;
        qsizetype before = 0;
        for (const QString &request : requests) {
            before = said.size();
            taken = states->request(request.section(QLatin1Char('|'), 0, 0), request.section(QLatin1Char('|'), 1, 1),
                                    request.section(QLatin1Char('|'), 2).toUtf8(), &why);
        }
        QCOMPARE(taken, refused.isEmpty());
        if (!taken)
            QVERIFY2(why.contains(refused), qPrintable(why));
        // Each change said to each of the fax's departments, kept; a
        // refusal says nothing.
        QCOMPARE(said.size() - before, taken ? 2 : 0);
        const QJsonObject last = QJsonDocument::fromJson(said.last().second).object();
        QCOMPARE(said.last().first, QStringLiteral("kavrel/fax/fax1/payroll/state/000000001"));
        QCOMPARE(last.value(QStringLiteral("state")).toString(), state);
        QCOMPARE(last.value(QStringLiteral("name")).toString(), name);
    }

    // The states outlive the monitor: another keeper on the file has them,
    // and says them all again (a broker that lost what it kept).
    void keptOverARestart()
    {
        {
            auto states = keeper(QStringLiteral("restart.sqlite"));
            states->add(fax("000000002"), {QStringLiteral("all")});
            QString why;
            QVERIFY(states->request(QStringLiteral("alice"), QStringLiteral("000000002"),
                                    "{\"action\":\"memo\",\"memo\":\"折り返し済み\"}", &why));
        }
        said.clear();
        auto again = keeper(QStringLiteral("restart.sqlite"));
        QCOMPARE(again->fax(QStringLiteral("000000002")).memo, QStringLiteral("折り返し済み"));
        // Its reception coming again does not make it new.
        again->add(fax("000000002"), {QStringLiteral("all")});
        QCOMPARE(again->fax(QStringLiteral("000000002")).memo, QStringLiteral("折り返し済み"));
        QVERIFY(said.isEmpty());
        again->sayAll();
        QCOMPARE(said.size(), 1);
        QCOMPARE(QJsonDocument::fromJson(said.first().second).object().value(QStringLiteral("memo")).toString(),
                 QStringLiteral("折り返し済み"));
    }

    // At most so many faxes, and none older than 90 days: what goes has
    // its kept message taken back (an empty one), in each department.
    void bounded()
    {
        QDateTime now(QDate(2026, 12, 8), QTime(9, 0));
        auto states = keeper(QStringLiteral("bounded.sqlite"));
        states->setClock([&now] { return now; });
        states->setMaxFaxes(3);
        for (const char *commId : {"1", "2", "3", "4"}) {
            now = now.addSecs(1);
            states->add(fax(commId), {QStringLiteral("sales")});
        }
        QCOMPARE(states->count(), 3);
        QVERIFY(!states->fax(QStringLiteral("1")).isValid());
        QCOMPARE(said.last(), (QPair<QString, QByteArray>{QStringLiteral("kavrel/fax/fax1/sales/state/1"), QByteArray()}));
        now = now.addDays(StateKeeper::MaxAgeDays).addSecs(-1);
        states->expire();
        QCOMPARE(states->count(), 2);
        now = now.addSecs(10);
        states->expire();
        QCOMPARE(states->count(), 0);

        // Many aged at once (a long stop): a share a pass.
        states->setMaxFaxes(StateKeeper::MaxFaxes);
        states->batch([&] {
            for (int i = 0; i <= StateKeeper::ExpireShare; ++i)
                states->add(fax(QByteArray::number(1000 + i).constData()), {QStringLiteral("sales")});
        });
        now = now.addDays(StateKeeper::MaxAgeDays + 1);
        states->expire();
        QCOMPARE(states->count(), 1);
        states->expire();
        QCOMPARE(states->count(), 0);
    }
};

QTEST_GUILESS_MAIN(TestStates)
#include "tst_states.moc"

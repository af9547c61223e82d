// The history: what it keeps and for how long, its file (damaged, held by
// another process, far over the bounds), the documents beside it, and the
// table the window reads it through.

#include "receiver/history.h"
#include "receiver/ui/historywindow.h"
#include "testsupport.h"

#include <QAbstractItemModelTester>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSignalSpy>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QtTest>

namespace {

QString historyPath(const char *name)
{
    return TestSupport::dataDir() + QLatin1Char('/') + QLatin1String(name) + QStringLiteral(".sqlite");
}

// The newest reception in the history's file, as another process reads it.
QString newest(const QString &path)
{
    History reader(path);
    return reader.open() && reader.count() > 0 ? reader.entries(1).first().text : QString();
}

QStringList texts(History &history)
{
    QStringList found;
    for (const History::Entry &entry : history.entries())
        found.append(entry.text);
    return found;
}

} // namespace

class TestHistory : public QObject
{
    Q_OBJECT

    // Three faxes to search: 山田's with its document and the text of its
    // second page (today), YAMADA's that failed (yesterday), and 佐藤's
    // whose text has OCR's dashes (three days ago).
    static void fillForSearch(History *history)
    {
        const QDateTime now = QDateTime::currentDateTime();
        const struct {
            QDateTime arrived;
            const char *line;
            const char *commId;
            const char *page2;
        } faxes[] = {
            {now, "2026/12/07 06:38:44,,03-1234-5678,ﾔﾏﾀﾞｼｮｳｼﾞ,2,OK", "fax1/1", "御見積書 No. 1234\n支払条件 月末締め\n発注は\nこちら"},
            {now.addDays(-1), "2026/12/07 06:38:44,,0612345678,YAMADA Trading,1,No carrier", "fax1/2", nullptr},
            {now.addDays(-3), "2026/12/07 06:38:44,,045-111-2222,佐藤,2,OK", "fax1/3", "電話 03ー9999ー0000 まで"},
        };
        for (const auto &fax : faxes)
            history->add(fax.arrived, QStringLiteral("192.168.1.10"), QString::fromUtf8(fax.line),
                         QString::fromLatin1(fax.commId));
        QVERIFY(history->flush());
        QVERIFY(history->addDocument(QStringLiteral("fax1/1"), QStringLiteral("1.pdf")));
        for (const auto &fax : faxes) {
            if (fax.page2)
                history->addText(QString::fromLatin1(fax.commId), FaxText{2, 2, QString::fromUtf8(fax.page2), QString()});
        }
        QVERIFY(history->flush());
    }

    // Which of the three faxes a search finds, by their numbers.
    static QString found(History *history, const QString &search)
    {
        History::Query query;
        query.search = search;
        QStringList ids;
        for (const History::Entry &entry : history->page(0, 10, 0, query))
            ids.append(entry.commId.mid(5));
        std::sort(ids.begin(), ids.end());
        return ids.join(QLatin1Char(','));
    }

private Q_SLOTS:
    // What a person types finds what was kept in another form, and some
    // words filter.
    void searchFindsWhatIsTyped_data()
    {
        QTest::addColumn<QString>("search");
        QTest::addColumn<QString>("found");
        QTest::newRow("katakana for half-width") << "ヤマダ" << "1";
        QTest::newRow("hiragana for katakana") << "やまだしょうじ" << "1";
        QTest::newRow("full-width letters") << "ＹＡＭＡＤＡ" << "2";
        QTest::newRow("lower case") << "yamada trading" << "2";
        QTest::newRow("number without dashes") << "0312345678" << "1";
        QTest::newRow("number in groups") << "03 1234 5678" << "1";
        QTest::newRow("number with dashes, kept without") << "06-1234-5678" << "2";
        QTest::newRow("number in the text, OCR's dashes") << "03-9999-0000" << "3";
        QTest::newRow("text of page 2") << "支払条件" << "1";
        QTest::newRow("text across lines") << "発注はこちら" << "1";
        QTest::newRow("full-width digits in the text") << "Ｎｏ．１２３４" << "1";
        QTest::newRow("two characters") << "見積" << "1";
        QTest::newRow("every word") << "やまだ 見積" << "1";
        QTest::newRow("not every word") << "やまだ 佐藤" << "";
        QTest::newRow("nothing") << "ヤマモト" << "";
        QTest::newRow("失敗") << "失敗" << "2";
        QTest::newRow("文書あり") << "文書あり" << "1";
        QTest::newRow("昨日") << "昨日" << "2";
        QTest::newRow("今日 and a word") << "今日 1234" << "1";
        QTest::newRow("a day") << QDate::currentDate().addDays(-3).toString(QStringLiteral("M/d")) << "3";
        QTest::newRow("a day in words") << QDate::currentDate().addDays(-3).toString(QStringLiteral("M月d日")) << "3";
        QTest::newRow("a filter and a word") << "失敗 ヤマダ" << "";
    }
    void searchFindsWhatIsTyped()
    {
        QFETCH(QString, search);
        QFETCH(QString, found);
        static History *history = nullptr;
        if (!history) {
            history = new History(historyPath("search"), this);
            QVERIFY(history->open());
            fillForSearch(history);
        }
        QCOMPARE(this->found(history, search), found);
    }

    // Why a fax matched: the page, and the words around it as the fax
    // says them, what matched in bold.
    void matchShowsItsPlace()
    {
        History history(historyPath("match"));
        QVERIFY(history.open());
        fillForSearch(&history);
        const HistorySearch::Match match = history.match(QStringLiteral("fax1/1"), QStringLiteral("支払 条件"));
        QCOMPARE(match.page, 2);
        QCOMPARE(match.html, QStringLiteral("御見積書 No. 1234 <b>支払条件</b> 月末締め 発注は こちら"));
        QCOMPARE(history.match(QStringLiteral("fax1/3"), QStringLiteral("0399990000")).html,
                 QStringLiteral("電話 <b>03ー9999ー0000</b> まで"));
        QCOMPARE(history.match(QStringLiteral("fax1/2"), QStringLiteral("ヤマダ")).page, 0);
        // A text that comes before its reception waits for it; the half-width
        // kana with its mark is bold whole.
        history.addText(QStringLiteral("fax1/4"), FaxText{1, 1, QStringLiteral("ﾔﾏﾀﾞ商事 様"), QString()});
        QVERIFY(history.flush());
        QCOMPARE(found(&history, QStringLiteral("ヤマダ商事")), QString());
        history.add(QDateTime::currentDateTime(), QStringLiteral("192.168.1.10"),
                    QStringLiteral("2026/12/07 06:38:44,,0312345678,ｻﾄｳ,1,OK"), QStringLiteral("fax1/4"));
        QVERIFY(history.flush());
        QCOMPARE(found(&history, QStringLiteral("ヤマダ商事")), QStringLiteral("4"));
        QCOMPARE(history.match(QStringLiteral("fax1/4"), QStringLiteral("やまだ")).html, QStringLiteral("<b>ﾔﾏﾀﾞ</b>商事 様"));
        // A second reception of one fax keeps its text when the first goes.
        history.add(QDateTime::currentDateTime(), QStringLiteral("192.168.1.11"),
                    QStringLiteral("2026/12/07 06:38:45,,0312345678,ｻﾄｳ,1,OK"), QStringLiteral("fax1/4"));
        QVERIFY(history.flush());
        history.remove(history.page(0, 2, 0, History::Query()).value(1).id);
        QCOMPARE(history.texts(QStringLiteral("fax1/4")).size(), 1);
    }

    // Texts whose reception has not come wait for it, to a number (those
    // over it told once, not each) and to a time (then let go).
    void waitingTextsBounded()
    {
        History history(historyPath("waitingtexts"));
        QVERIFY(history.open());
        QDateTime now = QDateTime::currentDateTime();
        history.setClock([&now] { return now; });
        QSignalSpy problems(&history, &History::problem);
        const auto reception = [&history, &now](const char *commId) {
            history.add(now, QStringLiteral("mqtt"), QStringLiteral("2026/12/08 09:00:00,,031111,ｱｵｷ,1,OK"),
                        QLatin1String(commId));
            return history.flush();
        };
        for (int page = 1; page <= History::MaxPendingTexts + 5; ++page)
            history.addText(QStringLiteral("fax1/1"), FaxText{page, 9999, QStringLiteral("ページ"), QString()});
        QVERIFY(reception("fax1/2"));
        history.addText(QStringLiteral("fax1/1"), FaxText{1, 9999, QStringLiteral("ページ"), QString()});
        QCOMPARE(problems.size(), 1);
        now = now.addSecs(60 * (History::OrphanStateMinutes + 1));
        QVERIFY(reception("fax1/3"));
        QVERIFY(reception("fax1/1"));
        QVERIFY(history.texts(QStringLiteral("fax1/1")).isEmpty());
        // There is room again.
        history.addText(QStringLiteral("fax1/1"), FaxText{1, 1, QStringLiteral("ページ"), QString()});
        QVERIFY(history.flush());
        QCOMPARE(history.texts(QStringLiteral("fax1/1")).size(), 1);
    }

    // A fax's text counts in the bytes the history keeps: the oldest
    // reception goes with its text, which is no longer found.
    void textsCountInTheBound()
    {
        History history(historyPath("textbytes"));
        QVERIFY(history.open());
        history.setMaxBytes(10000);
        for (const char *commId : {"fax1/1", "fax1/2"}) {
            history.add(QDateTime::currentDateTime(), QStringLiteral("192.168.1.10"),
                        QStringLiteral("2026/12/07 06:38:44,,0312345678,ﾔﾏﾀﾞｼｮｳｼﾞ,1,OK"), QLatin1String(commId));
            QVERIFY(history.flush());
            // 1,000 characters of three bytes, and as many folded.
            history.addText(QLatin1String(commId), FaxText{1, 1, QString(999, QChar(0x3042)) + QLatin1Char(commId[5]), QString()});
            QVERIFY(history.flush());
        }
        QCOMPARE(found(&history, QStringLiteral("ヤマダ")), QStringLiteral("2"));
        QCOMPARE(found(&history, QStringLiteral("ああ1")), QString());
        QCOMPARE(found(&history, QStringLiteral("ああ2")), QStringLiteral("2"));
        QVERIFY(history.texts(QStringLiteral("fax1/1")).isEmpty());
        // The index let go of it as well.
        {
            QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("check"));
            db.setDatabaseName(historyPath("textbytes"));
            QVERIFY(db.open());
            QSqlQuery check(db);
            QVERIFY2(check.exec(QStringLiteral("INSERT INTO search_texts (search_texts) VALUES ('integrity-check')")),
                     qPrintable(check.lastError().text()));
        }
        QSqlDatabase::removeDatabase(QStringLiteral("check"));
    }

    // Kept over a restart, bounded, and never lost on a damaged file or a
    // full disk.
    void historyKeepsWhatItHas()
    {
        const QString path = historyPath("kept");
        {
            History history(path);
            QVERIFY(history.open());
            history.add(QDateTime::currentDateTime().addDays(-History::MaxAgeDays - 1), QStringLiteral("x"),
                        QStringLiteral("too old"));
            for (int i = 0; i <= History::MaxEntries; ++i) {
                history.add(QDateTime::currentDateTime(), QStringLiteral("192.168.1.10"), QString::number(i));
                if (i % 1000 == 0)
                    QVERIFY(history.flush());
            }
            QCOMPARE(history.unreadCount(), History::MaxEntries);
        }
        History reopened(path);
        QVERIFY(reopened.open());
        const QList<History::Entry> kept = reopened.entries();
        QCOMPARE(kept.size(), History::MaxEntries);
        QCOMPARE(kept.first().text, QString::number(History::MaxEntries));
        QCOMPARE(kept.last().text, QStringLiteral("1"));
        QCOMPARE(reopened.unreadCount(), History::MaxEntries);
        reopened.markAllRead();
        QCOMPARE(reopened.unreadCount(), 0);
        // A test notification is kept, but is no unread fax.
        reopened.add(QDateTime::currentDateTime(), QStringLiteral("192.168.1.10"),
                     QStringLiteral("Test Receive Message\r\n09:05:07"));
        QCOMPARE(reopened.unreadCount(), 0);
        QVERIFY(reopened.flush());
        QCOMPARE(reopened.unreadCount(), 0);
        QVERIFY(!reopened.entries(1).first().unread);

        // A full disk: said once, receptions wait (and count as unread), and
        // are written by themselves once there is room again.
        QSignalSpy problems(&reopened, &History::problem);
        reopened.setRetryDelay(50);
        reopened.setMaxPages(1);
        reopened.add(QDateTime::currentDateTime(), QStringLiteral("192.168.1.10"), QString(200000, QLatin1Char('a')));
        QVERIFY(!reopened.flush());
        reopened.add(QDateTime::currentDateTime(), QStringLiteral("192.168.1.10"), QStringLiteral("still kept"));
        QCOMPARE(reopened.unreadCount(), 2);
        reopened.markAllRead();
        QCOMPARE(reopened.unreadCount(), 0);
        QTest::qWait(100);
        QCOMPARE(problems.size(), 1);
        reopened.setMaxPages(0);
        reopened.setMaxPages(1000000);
        QTRY_COMPARE(newest(path), QStringLiteral("still kept"));
        History again(path);
        QVERIFY(again.open());
        QCOMPARE(again.unreadCount(), 0);
    }

    // A fax's document belongs to its reception: the first that came stays
    // (a second for the same reception is not taken, and the monitor's word
    // that it failed does not hide it); documents that no reception names
    // cannot push the others out; files no row names go when the history
    // opens, unless just written.
    void documentsBelongToReceptions()
    {
        const QString path = historyPath("documents");
        History history(path);
        QVERIFY(history.open());
        QDir().mkpath(history.documentFolder());
        const auto file = [&](const QString &name) {
            QFile kept(history.documentFolder() + QLatin1Char('/') + name);
            kept.open(QIODevice::WriteOnly);
            kept.write("%PDF-1.4\n%%EOF\n");
            return name;
        };
        history.add(QDateTime::currentDateTime(), QStringLiteral("broker"),
                    QStringLiteral("2026/12/07 06:38:44,,0312345678,ｱｵｷ,1,OK"), QStringLiteral("000000001"));
        history.add(QDateTime::currentDateTime(), QStringLiteral("broker"),
                    QStringLiteral("2026/12/07 06:38:45,,0312345678,ｲﾄｳ,1,OK"), QStringLiteral("000000002"));
        history.flush();
        QVERIFY(history.addDocument(QStringLiteral("000000001"), file(QStringLiteral("fax-first.pdf"))));
        QVERIFY(!history.addDocument(QStringLiteral("000000001"), file(QStringLiteral("fax-second.pdf"))));
        QFile::remove(history.documentFolder() + QStringLiteral("/fax-second.pdf"));
        history.setDocumentFailed(QStringLiteral("000000001"), QStringLiteral("tiff2pdf failed"));
        history.setDocumentFailed(QStringLiteral("000000002"), QStringLiteral("tiff2pdf failed"));
        const History::Entry first = history.entry(history.idOf(QStringLiteral("000000001")));
        QCOMPARE(first.document, QStringLiteral("fax-first.pdf"));
        QCOMPARE(first.documentError, QString());
        QCOMPARE(history.entry(history.idOf(QStringLiteral("000000002"))).documentError, QStringLiteral("tiff2pdf failed"));

        for (int i = 0; i < History::MaxWaitingDocuments + 4; ++i)
            QVERIFY(history.addDocument(QStringLiteral("9%1").arg(i), file(QStringLiteral("fax-waiting-%1.pdf").arg(i))));
        const QStringList files = QDir(history.documentFolder()).entryList(QDir::Files);
        QVERIFY(files.contains(QStringLiteral("fax-first.pdf")));
        QCOMPARE(files.size(), 1 + History::MaxWaitingDocuments);

        QFile old(history.documentFolder() + QStringLiteral("/") + file(QStringLiteral("fax-left.pdf")));
        QVERIFY(old.open(QIODevice::ReadWrite));
        QVERIFY(old.setFileTime(QDateTime::currentDateTime().addSecs(-7200), QFileDevice::FileModificationTime));
        old.close();
        file(QStringLiteral("fax-just-written.pdf"));
        History reopened(path);
        QVERIFY(reopened.open());
        QVERIFY(!QFile::exists(old.fileName()));
        QVERIFY(QFile::exists(history.documentFolder() + QStringLiteral("/fax-just-written.pdf")));
        QVERIFY(QFile::exists(history.documentFolder() + QStringLiteral("/fax-first.pdf")));
    }

    // Ages are told by a clock that does not jump: a reception that came
    // while the wall clock stood years ahead makes nothing old. A year is a
    // year to the millisecond.
    void agesFollowATrustedClock()
    {
        QDateTime now(QDate(2026, 12, 7), QTime(12, 0));
        History history(historyPath("ages"));
        history.setClock([&] { return now; });
        QVERIFY(history.open());
        history.add(now.addDays(-History::MaxAgeDays), QStringLiteral("x"), QStringLiteral("a year old"));
        history.add(now.addDays(-History::MaxAgeDays).addMSecs(-1), QStringLiteral("x"), QStringLiteral("older"));
        history.add(now, QStringLiteral("x"), QStringLiteral("today"));
        QVERIFY(history.flush());
        QCOMPARE(texts(history), (QStringList{QStringLiteral("today"), QStringLiteral("a year old")}));
        now = now.addYears(2);
        history.add(now, QStringLiteral("x"), QStringLiteral("from the future"));
        QVERIFY(history.flush());
        QCOMPARE(texts(history).mid(0, 2), (QStringList{QStringLiteral("from the future"), QStringLiteral("today")}));

        // A clock two years ahead at start: ages count from the newest
        // reception kept, and nothing goes.
        QDateTime then(QDate(2026, 12, 7), QTime(12, 0));
        {
            History earlier(historyPath("jump"));
            earlier.setClock([&] { return then; });
            QVERIFY(earlier.open());
            earlier.add(then.addDays(-History::MaxAgeDays + 1), QStringLiteral("x"), QStringLiteral("almost a year old"));
            earlier.add(then, QStringLiteral("x"), QStringLiteral("newest"));
            QVERIFY(earlier.flush());
        }
        then = then.addYears(2);
        History jumped(historyPath("jump"));
        jumped.setClock([&] { return then; });
        QVERIFY(jumped.open());
        jumped.add(then, QStringLiteral("x"), QStringLiteral("while ahead"));
        QVERIFY(jumped.flush());
        QCOMPARE(texts(jumped), (QStringList{QStringLiteral("while ahead"), QStringLiteral("newest"),
                                             QStringLiteral("almost a year old")}));
    }

    // The texts are bounded in bytes as well as in rows, the oldest going
    // first; the window reads pages of them, each cut to a preview.
    void bytesBoundedAndReadInPages()
    {
        History history(historyPath("bytes"));
        QVERIFY(history.open());
        history.setMaxBytes(10000);
        for (int i = 0; i < 30; ++i)
            history.add(QDateTime::currentDateTime(), QStringLiteral("x"), QString::number(i) + QString(998, QLatin1Char('a')));
        QVERIFY(history.flush());
        QCOMPARE(history.count(), 10);
        const QList<History::Entry> page = history.page(2, 3, 5);
        QCOMPARE(page.size(), 3);
        QCOMPARE(page.first().text, QStringLiteral("27aaa"));
        QCOMPARE(history.text(page.first().id).size(), 1000);
        // One more in, the oldest one out: no more.
        history.add(QDateTime::currentDateTime(), QStringLiteral("x"), QStringLiteral("30") + QString(998, QLatin1Char('a')));
        QVERIFY(history.flush());
        QCOMPARE(history.count(), 10);
        // Bytes, not characters: a half-width kana is three bytes in UTF-8.
        history.clear();
        for (int i = 0; i < 30; ++i)
            history.add(QDateTime::currentDateTime(), QStringLiteral("x"), QString(1000, QChar(0xff94)));
        QVERIFY(history.flush());
        QCOMPARE(history.count(), 3);
    }

    // Sorted by the time of reception, not of arrival (a fax that came late
    // by the broker stands where it was received).
    void sortedByReceptionTime()
    {
        History history(historyPath("sorted"));
        QVERIFY(history.open());
        const QDateTime now = QDateTime::currentDateTime();
        history.add(now.addSecs(-3), QStringLiteral("x"), QStringLiteral("2026/12/07 06:02:00,,,second,1,OK"));
        history.add(now.addSecs(-2), QStringLiteral("x"), QStringLiteral("2026/12/07 06:03:00,,,third,1,OK"));
        history.add(now.addSecs(-1), QStringLiteral("x"), QStringLiteral("2026/12/07 06:01:00,,,first,1,OK"));
        QVERIFY(history.flush());
        History::Query query;
        query.sortBy = History::SortBy::Received;
        query.order = Qt::AscendingOrder;
        QStringList callers;
        for (const History::Entry &entry : history.page(0, 10, -1, query))
            callers.append(entry.caller);
        QCOMPARE(callers, (QStringList{QStringLiteral("first"), QStringLiteral("second"), QStringLiteral("third")}));
    }

    // A copy names the document to come only where the first named none:
    // another reception's id never replaces its own. The broker's copy
    // names the department a datagram's did not.
    void copyKeepsItsCommunicationId()
    {
        History history(historyPath("copies"));
        QVERIFY(history.open());
        const qint64 id = history.add(QDateTime::currentDateTime(), QStringLiteral("x"), QStringLiteral("a fax"),
                                      QStringLiteral("fax1/1"));
        history.addCopy(id, QStringLiteral("fax1/2"), QStringLiteral("sales"));
        QVERIFY(history.flush());
        const qint64 written = history.idOf(QStringLiteral("fax1/1"));
        history.addCopy(written, QStringLiteral("fax1/3"));
        QVERIFY(history.flush());
        QCOMPARE(history.entry(written).commId, QStringLiteral("fax1/1"));
        QCOMPARE(history.entry(written).department, QStringLiteral("sales"));
        const qint64 datagram = history.add(QDateTime::currentDateTime(), QStringLiteral("x"), QStringLiteral("by UDP"));
        QVERIFY(history.flush());
        history.addCopy(history.writtenId(datagram), QString(), QStringLiteral("payroll"));
        QVERIFY(history.flush());
        QCOMPARE(history.entry(history.writtenId(datagram)).department, QStringLiteral("payroll"));
        QCOMPARE(history.idOf(QStringLiteral("fax1/2")), 0);
        QCOMPARE(history.idOf(QStringLiteral("fax1/3")), 0);
    }

    // A file another process holds (a second session on a shared home) is
    // left as it is; the history lives in memory meanwhile, and says so.
    void heldFileIsLeftInPlace()
    {
        const QString path = historyPath("held");
        {
            History first(path);
            QVERIFY(first.open());
            first.add(QDateTime::currentDateTime(), QStringLiteral("x"), QStringLiteral("theirs"));
        }
        QSqlDatabase holder = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("holder"));
        holder.setDatabaseName(path);
        QVERIFY(holder.open());
        QSqlQuery lock(holder);
        QVERIFY(lock.exec(QStringLiteral("PRAGMA locking_mode=EXCLUSIVE")));
        QVERIFY(lock.exec(QStringLiteral("BEGIN EXCLUSIVE")));
        {
            History second(path);
            QSignalSpy problems(&second, &History::problem);
            QVERIFY(!second.open());
            QCOMPARE(problems.size(), 1);
        }
        QVERIFY(QDir(TestSupport::dataDir()).entryList({QStringLiteral("held.sqlite.broken-*")}).isEmpty());
        QVERIFY(lock.exec(QStringLiteral("ROLLBACK")));
        lock.finish();
        holder.close();
        holder = QSqlDatabase();
        QSqlDatabase::removeDatabase(QStringLiteral("holder"));
        QCOMPARE(newest(path), QStringLiteral("theirs"));
    }

    void damagedHistoryIsMovedAside()
    {
        const QString path = historyPath("damaged");
        QFile damaged(path);
        QVERIFY(damaged.open(QIODevice::WriteOnly));
        damaged.write(QByteArray("SQLite format 3\0", 16) + QByteArray(8192, '\x5a'));
        damaged.close();
        History history(path);
        QSignalSpy problems(&history, &History::problem);
        QVERIFY(history.open());
        QCOMPARE(problems.size(), 1);
        const QStringList aside = QDir(TestSupport::dataDir()).entryList({QStringLiteral("damaged.sqlite.broken-*")});
        QCOMPARE(aside.size(), 1);
        QVERIFY(problems.first().first().toString().contains(aside.first()));
        QCOMPARE(QFileInfo(TestSupport::dataDir() + QLatin1Char('/') + aside.first()).size(), 16 + 8192);
        history.add(QDateTime::currentDateTime(), QStringLiteral("192.168.1.10"), QStringLiteral("new"));
        history.flush();
        QCOMPARE(history.entries().size(), 1);
    }

    // A file far over the bounds is brought within them (and its size down)
    // before it is opened, away from the program's loop, ages counted as
    // they are once it is open (here with the clock two years ahead).
    // Receptions wait in memory meanwhile, shown; what is asked of them and
    // of the old ones (a document, all read) is done once the file is open;
    // and all is written as the program ends, should it end meanwhile.
    void oversizedFileCompactedFirst()
    {
        const auto oversized = [](const QString &path) {
            History writer(path);
            writer.setMaxBytes(qint64(1) << 40);
            writer.open();
            for (int i = 0; i < 400; ++i)
                writer.add(QDateTime::currentDateTime(), QStringLiteral("x"), QString::number(i) + QString(8000, QLatin1Char('a')));
            return writer.flush();
        };
        const QString path = historyPath("oversized");
        QVERIFY(oversized(path));
        const qint64 before = QFileInfo(path).size();
        History history(path);
        history.setMaxBytes(64 * 1024);
        history.setClock([] { return QDateTime::currentDateTime().addYears(2); });
        QVERIFY(history.open());
        QVERIFY(history.compacting());
        history.add(QDateTime::currentDateTime(), QStringLiteral("x"), QStringLiteral("while compacting"),
                    QStringLiteral("fax/1"));
        QCOMPARE(history.entries(1).first().text, QStringLiteral("while compacting"));
        QDir().mkpath(history.documentFolder());
        QFile(history.documentFolder() + QStringLiteral("/fax-1.pdf")).open(QIODevice::WriteOnly);
        QVERIFY(history.addDocument(QStringLiteral("fax/1"), QStringLiteral("fax-1.pdf")));
        QVERIFY(history.hasKept(QStringLiteral("fax/1"), false));
        QCOMPARE(history.entry(history.idOf(QStringLiteral("fax/1"))).document, QStringLiteral("fax-1.pdf"));
        history.markAllRead();
        QTRY_VERIFY(!history.compacting());
        QCOMPARE(newest(path), QStringLiteral("while compacting"));
        QVERIFY2(QFileInfo(path).size() < before / 10, qPrintable(QString::number(QFileInfo(path).size())));
        const QStringList kept = texts(history);
        QCOMPARE(kept.size(), 9);
        QVERIFY(kept.last().startsWith(QStringLiteral("392a")));
        QCOMPARE(history.unreadCount(), 0);
        QCOMPARE(history.entry(history.idOf(QStringLiteral("fax/1"))).document, QStringLiteral("fax-1.pdf"));

        const QString ending = historyPath("ending");
        QVERIFY(oversized(ending));
        {
            History closing(ending);
            closing.setMaxBytes(64 * 1024);
            QVERIFY(closing.open());
            QVERIFY(closing.compacting());
            closing.add(QDateTime::currentDateTime(), QStringLiteral("x"), QStringLiteral("as it ends"));
            closing.finish();
            QVERIFY(!closing.compacting());
            QCOMPARE(newest(ending), QStringLiteral("as it ends"));
        }
    }

    // While writes fail, what waits is bounded as the history is, the oldest
    // going first.
    void waitingReceptionsBounded()
    {
        History history(historyPath("waiting"));
        QVERIFY(history.open());
        history.setRetryDelay(60000);
        history.setMaxPages(1);
        history.add(QDateTime::currentDateTime(), QStringLiteral("x"), QString(200000, QLatin1Char('a')));
        QVERIFY(!history.flush());
        for (int i = 0; i < History::MaxEntries; ++i)
            history.add(QDateTime::currentDateTime(), QStringLiteral("x"), QString::number(i));
        QCOMPARE(history.count(), History::MaxEntries);
        QCOMPARE(history.unreadCount(), History::MaxEntries);
        QCOMPARE(history.entries().last().text, QStringLiteral("0"));
    }

    // The table the window reads the history through keeps the rules of a
    // model as it sorts by every column, searches, as rows go, and as it
    // reads the next page. (The tester reads the next page itself as a reset
    // ends, before it counts the reset as ended: it watches resets only
    // while all rows fit in the first page.)
    // More receptions in one turn than documents are kept for receptions
    // to come, each told that its document will not come: none forgets it.
    void failuresOfWaitingReceptions()
    {
        History history(historyPath("failures"));
        QVERIFY(history.open());
        const int count = History::MaxWaitingDocuments + 8;
        for (int i = 0; i < count; ++i) {
            const QString commId = QStringLiteral("fax1/%1").arg(i);
            history.add(QDateTime::currentDateTime(), QStringLiteral("mqtt"), QStringLiteral("2026/12/08 09:00:00,,031111,ｱｵｷ,1,OK"),
                        commId);
            history.setDocumentFailed(commId, QStringLiteral("none"));
        }
        QVERIFY(history.flush());
        for (const History::Entry &entry : history.entries())
            QCOMPARE(entry.documentError, QStringLiteral("none"));
    }

    // Each fax's state, as its monitor says it: shown, filtered (未対応,
    // 自分の担当, 失敗), sorted, counted for the tray; a state forgotten
    // when the monitor lets it go; and those whose reception never came
    // kept a while and to a number.
    void statesOfFaxes()
    {
        QDateTime now(QDate(2026, 12, 8), QTime(10, 0));
        History history(historyPath("states"));
        history.setClock([&] { return now; });
        QVERIFY(history.open());
        const auto fax = [&](const char *commId, const char *status, bool read = false) {
            history.add(now, QStringLiteral("mqtt"), QStringLiteral("2026/12/08 09:00:00,,031111,ｱｵｷ,1,%1").arg(QLatin1String(status)),
                        QLatin1String(commId));
            if (read)
                history.markAllRead();
        };
        const auto state = [&](FaxState::State value, const char *user = "") {
            FaxState made;
            made.state = value;
            made.user = QLatin1String(user);
            made.name = made.user.toUpper();
            made.at = now;
            return made;
        };
        fax("fax1/1", "OK", true);  // read, open: still nobody's
        fax("fax1/2", "OK");        // taken by alice
        fax("fax1/3", "No carrier"); // failed, done by bob
        fax("fax1/4", "OK");        // no state known (a datagram's): unread
        fax("", "OK");              // a datagram's, no key
        history.setState(QStringLiteral("fax1/1"), state(FaxState::Open));
        history.setState(QStringLiteral("fax1/2"), state(FaxState::Taken, "alice"));
        history.setState(QStringLiteral("fax1/3"), state(FaxState::Done, "bob"));
        QVERIFY(history.flush());
        QCOMPARE(history.openCount(), 3);
        const auto commIds = [&](History::Show show, History::SortBy sortBy = History::SortBy::Arrived) {
            History::Query query;
            query.show = show;
            query.me = QStringLiteral("alice");
            query.myName = QStringLiteral("ALICE");
            query.sortBy = sortBy;
            query.order = Qt::AscendingOrder;
            QStringList found;
            for (const History::Entry &entry : history.page(0, 10, -1, query))
                found.append(entry.commId);
            return found;
        };
        QCOMPARE(commIds(History::Show::Open), (QStringList{QStringLiteral("fax1/1"), QStringLiteral("fax1/4"), QString()}));
        QCOMPARE(commIds(History::Show::Mine), QStringList{QStringLiteral("fax1/2")});
        QCOMPARE(commIds(History::Show::Failed), QStringList{QStringLiteral("fax1/3")});
        QCOMPARE(commIds(History::Show::All, History::SortBy::State),
                 (QStringList{QString(), QStringLiteral("fax1/4"), QStringLiteral("fax1/1"), QStringLiteral("fax1/2"),
                              QStringLiteral("fax1/3")}));
        HistoryModel model(&history);
        model.refresh();
        QCOMPARE(model.index(2, HistoryModel::State).data().toString(), QStringLiteral("完了：BOB 12/08 10:00"));
        QCOMPARE(model.index(3, HistoryModel::State).data().toString(), QStringLiteral("対応中：ALICE"));
        // Let go by its monitor: no state known.
        history.setState(QStringLiteral("fax1/2"), FaxState());
        QCOMPARE(history.state(QStringLiteral("fax1/2")).state, FaxState::Unknown);
        QVERIFY(history.flush());
        QCOMPARE(history.state(QStringLiteral("fax1/2")).state, FaxState::Unknown);

        // States of faxes not here: the newest MaxOrphanStates, and none
        // older than OrphanStateMinutes once the next ones are written.
        history.setState(QStringLiteral("fax2/0"), state(FaxState::Open));
        QVERIFY(history.flush());
        now = now.addSecs(1);
        for (int i = 1; i <= History::MaxOrphanStates; ++i)
            history.setState(QStringLiteral("fax2/%1").arg(i), state(FaxState::Open));
        QVERIFY(history.flush());
        QCOMPARE(history.state(QStringLiteral("fax2/0")).state, FaxState::Unknown);
        QCOMPARE(history.state(QStringLiteral("fax2/1")).state, FaxState::Open);
        now = now.addSecs(60 * History::OrphanStateMinutes + 60);
        for (int i = 0; i < History::MaxOrphanStates / 10; ++i)
            history.setState(QStringLiteral("fax3/%1").arg(i), state(FaxState::Open));
        QVERIFY(history.flush());
        QCOMPARE(history.state(QStringLiteral("fax2/1")).state, FaxState::Unknown);
        QCOMPARE(history.state(QStringLiteral("fax3/1")).state, FaxState::Open);
        // Those of faxes here stay.
        QCOMPARE(history.state(QStringLiteral("fax1/3")).state, FaxState::Done);
    }

    void modelKeepsTheRules()
    {
        History history(historyPath("model"));
        QVERIFY(history.open());
        const auto add = [&](int count) {
            for (int i = 0; i < count; ++i)
                history.add(QDateTime::currentDateTime(), QStringLiteral("192.168.1.10"),
                            QStringLiteral("2026/12/07 06:%1:00,,0312%2,ｱｵｷ %2,%3,%4")
                                .arg(i % 60, 2, 10, QLatin1Char('0'))
                                .arg(i)
                                .arg(i % 4)
                                .arg(i % 7 ? QStringLiteral("OK") : QStringLiteral("No carrier")),
                            QString(), i % 3 ? QStringLiteral("sales") : QStringLiteral("payroll"));
            return history.flush();
        };
        QVERIFY(add(30));
        HistoryModel model(&history);
        model.refresh();
        {
            QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
            for (int column = 0; column < HistoryModel::ColumnCount; ++column) {
                model.sort(column, Qt::AscendingOrder);
                model.sort(column, Qt::DescendingOrder);
            }
            // One department's, its name shown.
            model.setDepartmentNames({{QStringLiteral("payroll"), QStringLiteral("給与係")}});
            model.setDepartment(QStringLiteral("payroll"));
            QCOMPARE(model.rowCount(), 10);
            QCOMPARE(model.data(model.index(0, HistoryModel::Department), Qt::DisplayRole).toString(), QStringLiteral("給与係"));
            model.setDepartment(QString());
            // Typed in full-width, kept in half-width.
            model.setSearch(QStringLiteral("アオキ1"));
            QCOMPARE(model.rowCount(), 11);
            history.remove(model.entry(0).id);
            model.refresh();
            QCOMPARE(model.rowCount(), 10);
            model.setSearch(QString());
            QCOMPARE(model.rowCount(), 29);
        }
        QVERIFY(add(HistoryModel::PageSize));
        model.refresh();
        QCOMPARE(model.rowCount(), HistoryModel::PageSize);
        QVERIFY(model.canFetchMore(QModelIndex()));
        QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
        QCOMPARE(model.rowCount(), HistoryModel::PageSize + 29);
        QVERIFY(!model.canFetchMore(QModelIndex()));
    }
};

QTEST_MAIN(TestHistory)
#include "tst_history.moc"

// What faxes say, read and searched:
//  1. the monitor's reading (its text reader: kavrel-faxpage, then
//     tesseract at one thread, again as columns where a page has vertical
//     writing) of faxes whose text is known, at fine and
//     standard resolution: characters read right (1 - edit distance /
//     length, blanks left out) and seconds a page; and a page of noise;
//  2. a fax from the hook's post until a phrase of its second page finds it
//     in the desk's history (the monitor, mosquitto, kavrel-r);
//  3. a search in a history of 10,000 faxes of 3 pages each, as the window
//     makes it (a count and the first 100 rows), beside a plain LIKE over
//     the same texts, and the history's file size.
//
//   textbench [--quick] [--search]
//
// Run by ./run-bench. Not part of the tests.

#include "benchsupport.h"
#include "receiversupport.h"
#include "receiver/history.h"
#include "testsupport.h"
#include "core/monitorprotocol.h"
#include "core/topics.h"
#include "faxmonitor/textreader.h"

#include <QApplication>
#include <QDBusConnection>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSqlQuery>
#include <QStandardPaths>
#include <QSysInfo>
#include <QThread>

#include <fcntl.h>
#include <pwd.h>

using namespace bench;

namespace {

QString withoutBlanks(const QString &text)
{
    QString out;
    for (const QChar c : text) {
        if (!c.isSpace())
            out.append(c);
    }
    return out;
}

int editDistance(const QString &a, const QString &b)
{
    std::vector<int> row(size_t(b.size()) + 1);
    for (size_t j = 0; j < row.size(); ++j)
        row[j] = int(j);
    for (qsizetype i = 1; i <= a.size(); ++i) {
        int diagonal = row[0];
        row[0] = int(i);
        for (qsizetype j = 1; j <= b.size(); ++j) {
            const int above = row[size_t(j)];
            row[size_t(j)] = std::min({above + 1, row[size_t(j - 1)] + 1, diagonal + (a.at(i - 1) == b.at(j - 1) ? 0 : 1)});
            diagonal = above;
        }
    }
    return row.back();
}

// Reads fax as the monitor does (its text reader: kavrel-faxpage, then
// tesseract at one thread, a page read again as columns where it has
// vertical writing): each page's text, and the seconds each took.
QStringList readFax(const QString &fax, std::vector<double> *seconds)
{
    TextReader reader;
    TextReader::Options options; // the monitor's, but for the pages of a fax
    options.maxPages = 100;
    QString error, warning;
    if (!reader.setUp(options, QStringLiteral(FAX_PAGE), &error, &warning)) {
        std::fprintf(stderr, "textbench: %s\n", qPrintable(error));
        return {};
    }
    auto received = std::make_shared<ReceivedFax>();
    received->fd = ::open(QFile::encodeName(fax).constData(), O_RDONLY | O_CLOEXEC);
    QStringList texts;
    bool done = false;
    auto start = Clock::now();
    QObject::connect(&reader, &TextReader::pageRead, &reader, [&](const QString &, const FaxText &text) {
        if (!text.error.isEmpty())
            std::fprintf(stderr, "textbench: %s page %d: %s\n", qPrintable(QFileInfo(fax).fileName()), text.page,
                         qPrintable(text.error));
        if (text.page == 0)
            return;
        texts.append(text.text);
        seconds->push_back(millisecondsBetween(start, Clock::now()) / 1000.0);
        start = Clock::now();
    });
    QObject::connect(&reader, &TextReader::finished, &reader, [&done] { done = true; });
    reader.read(QStringLiteral("1"), received);
    processUntil([&done] { return done; }, 600000);
    return texts;
}

QString userName()
{
    const passwd *user = getpwuid(geteuid());
    return user ? QString::fromLocal8Bit(user->pw_name) : QString();
}

void reading(const QString &folder)
{
    std::printf("\nReading faxes of known text (the monitor's text reader: kavrel-faxpage, tesseract jpn+jpn_vert at one "
                "thread):\n\n");
    std::printf("| %-10s | %-10s | %-22s | %-16s |\n", "fax", "resolution", "characters read right", "seconds a page");
    std::printf("|------------|------------|------------------------|------------------|\n");
    double wrong[2] = {0, 0}, total[2] = {0, 0};
    std::vector<double> seconds[2];
    for (const char *kind : {"order", "prices", "vertical", "small"}) {
        QFile known(QStringLiteral(TEXT_FAXES "/%1.txt").arg(QLatin1String(kind)));
        if (!known.open(QIODevice::ReadOnly))
            continue;
        const QStringList pages = QString::fromUtf8(known.readAll()).split(QLatin1Char('\f'));
        for (int fine = 1; fine >= 0; --fine) {
            const QString fax = QStringLiteral(TEXT_FAXES "/%1-%2.tif").arg(QLatin1String(kind), fine ? QStringLiteral("fine") : QStringLiteral("standard"));
            int faxWrong = 0, faxTotal = 0;
            double faxSeconds = 0;
            std::vector<double> took;
            const QStringList read = readFax(fax, &took);
            for (int page = 1; page <= pages.size(); ++page) {
                const QString expected = withoutBlanks(pages.at(page - 1));
                faxWrong += editDistance(expected, withoutBlanks(read.value(page - 1)));
                faxTotal += int(expected.size());
            }
            for (double pageSeconds : took) {
                faxSeconds += pageSeconds;
                seconds[fine].push_back(pageSeconds);
            }
            wrong[fine] += faxWrong;
            total[fine] += faxTotal;
            std::printf("| %-10s | %-10s | %20.1f %% | %16.2f |\n", kind, fine ? "fine" : "standard",
                        100.0 * (1 - double(faxWrong) / faxTotal), faxSeconds / pages.size());
        }
    }
    for (int fine = 1; fine >= 0; --fine) {
        const auto p = percentiles(seconds[fine]);
        std::printf("%s: %.1f %% of the characters read right (goal %s); %.2f s a page at the median, %.2f s at most (goal 3 s)\n",
                    fine ? "Fine" : "Standard", 100.0 * (1 - wrong[fine] / total[fine]), fine ? "95 %" : "90 %", p.first,
                    *std::max_element(seconds[fine].begin(), seconds[fine].end()));
    }
    // A page of pure noise, which OCR finds hardest.
    const QString noise = folder + QStringLiteral("/noise.pbm");
    QFile pbm(noise);
    if (pbm.open(QIODevice::WriteOnly)) {
        QByteArray bits(216 * 2290, '\0');
        for (char &byte : bits)
            byte = char(QRandomGenerator::global()->bounded(256));
        pbm.write("P4\n1728 2290\n" + bits);
        pbm.close();
        const QString tiff = folder + QStringLiteral("/noise.tif");
        QProcess::execute(QStringLiteral("ppm2tiff"), {QStringLiteral("-c"), QStringLiteral("g4"), QStringLiteral("-R"),
                                                      QStringLiteral("204x196"), noise, tiff});
        std::vector<double> took;
        const QString read = readFax(tiff, &took).value(0);
        std::printf("A page of noise: %.1f s, %lld characters \"read\" (the monitor gives each tool up after 60 s).\n",
                    took.empty() ? 0.0 : took.front(), qint64(withoutBlanks(read).size()));
    }
}

void toSearchable(const QString &folder, int runs)
{
    TestSupport::TestBroker broker;
    TestSupport::SessionBus sessionBus;
    const QString bus = sessionBus.start();
    if (!broker.missing().isEmpty() || !broker.start() || bus.isEmpty()) {
        std::fprintf(stderr, "textbench: no broker (mosquitto) or no session bus (dbus-daemon)\n");
        return;
    }
    Notices notices;
    QDBusConnection connection = QDBusConnection::connectToBus(bus, QStringLiteral("bench"));
    connection.registerObject(QStringLiteral("/org/freedesktop/Notifications"), &notices, QDBusConnection::ExportAllSlots);
    connection.registerService(QStringLiteral("org.freedesktop.Notifications"));
    const QString spool = folder + QStringLiteral("/spool");
    QDir().mkpath(spool + QStringLiteral("/recvq"));
    QFile password(folder + QStringLiteral("/password"));
    if (password.open(QIODevice::WriteOnly))
        password.write(broker.password().toUtf8());
    password.close();
    QFile config(folder + QStringLiteral("/faxmon.conf"));
    if (config.open(QIODevice::WriteOnly))
        config.write("[MQTT]\nBroker=" + broker.url().toUtf8() + "\nUser=" + broker.user().toUtf8() + "\nPasswordFile="
                     + QFile::encodeName(password.fileName()) + "\n[Documents]\nPublish=true\nText=true\nSpool="
                     + QFile::encodeName(spool) + "\nFaxUser=" + userName().toUtf8() + "\n");
    config.close();
    Receiver receiver(QStringLiteral(KAVREL_RECEIVER), {QStringLiteral("--test-delays"), QStringLiteral("gather=0")}, bus,
                      freePort(),
                      "[MQTT]\nBroker=" + broker.url().toUtf8() + "\nUser=" + broker.user().toUtf8() + "\nPassword="
                          + broker.password().toUtf8() + "\nDocuments=true\n");
    processUntil([&] { return receiver.said().contains("documents: connected to the broker"); }, 10000);
    QProcess monitor;
    QByteArray said;
    QObject::connect(&monitor, &QProcess::readyReadStandardError, &monitor, [&] { said += monitor.readAllStandardError(); });
    monitor.start(QStringLiteral(FAX_MONITOR), {QStringLiteral("--folder"), folder + QStringLiteral("/monitor"),
                                                QStringLiteral("--link-group"), QString(), QStringLiteral("--config"),
                                                config.fileName()});
    processUntil([&] { return said.count("connected to the broker") >= 2; }, 10000);
    History history(receiver.folder("data") + QStringLiteral("/kavrel-r/history.sqlite"));
    history.open();
    std::printf("\nA fax of two pages from the hook's post until a phrase of its second page finds it at the desk:\n\n");
    for (const char *resolution : {"fine", "standard"}) {
        std::vector<double> times;
        for (int run = 0; run < runs; ++run) {
            static int sample = 0;
            const int number = ++sample;
            const QString name = QStringLiteral("fax%1.tif").arg(number, 5, 10, QLatin1Char('0'));
            QFile::copy(QStringLiteral(TEXT_FAXES "/order-%1.tif").arg(QLatin1String(resolution)),
                        spool + QStringLiteral("/recvq/") + name);
            const QString commId = QString::number(200000000 + number);
            // A caller of its own: the same reception twice is one to a desk.
            QList<QByteArray> fields{"2026:12:07 06:38:44", "81 3 1234 5678", "0312345678",
                                     "ﾔﾏﾀﾞｼｮｳｼﾞ " + QByteArray::number(number), "2", "", "recvq/" + name.toUtf8(),
                                     commId.toUtf8()};
            QString error;
            const auto posted = Clock::now();
            if (!MonitorProtocol::post(folder + QStringLiteral("/monitor"), fields, 2000, &error))
                continue;
            History::Query query;
            query.search = QStringLiteral("翌月末払い");
            const QString key = Topics::serverFromHostName(QSysInfo::machineHostName()) + QLatin1Char('/') + commId;
            if (processUntil(
                    [&] {
                        // Looked at as a person would: every 20 ms.
                        QThread::msleep(20);
                        return history.page(0, 1, 0, query).value(0).commId == key;
                    },
                    60000))
                times.push_back(millisecondsBetween(posted, Clock::now()));
        }
        const auto p = percentiles(times);
        std::printf("%-8s: %.2f s at the median, %.2f s at p99 (%zu of %d found)\n", resolution, p.first / 1000,
                    p.second / 1000, times.size(), runs);
    }
    monitor.terminate();
    monitor.waitForFinished();
}

void searching(const QString &folder, int faxes, int queries)
{
    std::printf("\nSearching %d faxes of 3 pages (a new search: a count and the first 100 rows, as the window asks):\n\n",
                faxes);
    // Lines of the known faxes, each on a few percent of the pages, among
    // lines of numbers and names of their own.
    QStringList lines;
    for (const char *kind : {"order", "prices", "vertical", "small"}) {
        QFile known(QStringLiteral(TEXT_FAXES "/%1.txt").arg(QLatin1String(kind)));
        if (known.open(QIODevice::ReadOnly))
            lines += QString::fromUtf8(known.readAll()).split(QRegularExpression(QStringLiteral("[\f\n]")), Qt::SkipEmptyParts);
    }
    const QStringList goods{QStringLiteral("封筒"), QStringLiteral("用紙"), QStringLiteral("トナー"), QStringLiteral("電池"),
                            QStringLiteral("ファイル"), QStringLiteral("はさみ"), QStringLiteral("のり"), QStringLiteral("テープ"),
                            QStringLiteral("ラベル"), QStringLiteral("台帳"), QStringLiteral("伝票"), QStringLiteral("名刺")};
    QRandomGenerator random(7);
    const QString path = folder + QStringLiteral("/search.sqlite");
    {
        History history(path);
        history.setMaxBytes(qint64(1) << 40);
        history.open();
        const QDateTime start = QDateTime::currentDateTime().addDays(-300);
        for (int fax = 0; fax < faxes; ++fax) {
            const QString commId = QStringLiteral("fax1/%1").arg(fax);
            history.add(start.addSecs(fax * 2000), QStringLiteral("192.168.1.10"),
                        QStringLiteral("2026/12/07 06:38:44,,03%1,取引先%2,3,OK").arg(10000000 + fax).arg(fax % 500), commId);
            if (fax % 200 == 199 || fax == faxes - 1)
                history.flush();
        }
        for (int fax = 0; fax < faxes; ++fax) {
            for (int page = 1; page <= 3; ++page) {
                // A page of about 600 characters, with a number of its own.
                QString text = QStringLiteral("注文番号 K-%1-%2\n").arg(fax).arg(page);
                text += lines.at(int(random.bounded(lines.size()))) + QLatin1Char('\n');
                for (int i = 0; i < 20; ++i)
                    text += QStringLiteral("品番 %1 %2 %3個 単価 %4円\n")
                                .arg(random.bounded(100000), 5, 10, QLatin1Char('0'))
                                .arg(goods.at(int(random.bounded(goods.size()))))
                                .arg(random.bounded(1, 100))
                                .arg(random.bounded(10, 5000));
                history.addText(QStringLiteral("fax1/%1").arg(fax), FaxText{page, 3, text, QString()});
            }
            if (fax % 100 == 99 || fax == faxes - 1)
                history.flush();
        }
    }
    History history(path);
    history.setMaxBytes(qint64(1) << 40);
    history.open();
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("bench"));
    db.setDatabaseName(path);
    db.open();
    const struct {
        const char *search;
        const char *what;
    } rows[] = {
        {"K-4321-2", "a number of one fax"},
        {"修正テープ", "a phrase of a few"},
        {"見積", "two characters"},
        {"取引先17 支払条件", "two words"},
        {"注文番号", "a phrase of every fax"},
    };
    std::printf("| %-20s | %-28s | %-8s | %-22s | %-22s |\n", "search", "", "found", "index, p50 / p99", "plain LIKE, p50 / p99");
    std::printf("|----------------------|------------------------------|----------|------------------------|------------------------|\n");
    for (const auto &row : rows) {
        History::Query query;
        query.search = QString::fromUtf8(row.search);
        std::vector<double> indexed, plain;
        int found = 0;
        History::Query other;
        other.search = QStringLiteral("K-1-1");
        for (int i = 0; i < queries; ++i) {
            // Each time a new search, as a person types it: the history
            // keeps what the last one found.
            history.count(other);
            auto start = Clock::now();
            found = history.count(query);
            history.page(0, 100, 100, query);
            indexed.push_back(millisecondsBetween(start, Clock::now()));
            // The same rows by LIKE on the texts as they came, each word.
            start = Clock::now();
            QString where;
            const QStringList words = query.search.split(QLatin1Char(' '));
            for (int w = 0; w < words.size(); ++w)
                where += QStringLiteral(" AND (r.caller LIKE :w%1 OR r.number LIKE :w%1 OR r.commid IN (SELECT commid FROM"
                                        " texts WHERE text LIKE :w%1))")
                             .arg(w);
            for (const char *statement : {"SELECT COUNT(*) FROM receptions r WHERE 1", "SELECT r.id, r.caller FROM receptions r WHERE 1"}) {
                QSqlQuery like(db);
                like.prepare(QLatin1String(statement) + where
                             + (statement[7] == 'r' ? QStringLiteral(" ORDER BY r.id DESC LIMIT 100") : QString()));
                for (int w = 0; w < words.size(); ++w)
                    like.bindValue(QStringLiteral(":w%1").arg(w), QLatin1Char('%') + words.at(w) + QLatin1Char('%'));
                like.exec();
                while (like.next()) {
                }
            }
            plain.push_back(millisecondsBetween(start, Clock::now()));
        }
        const auto a = percentiles(indexed), b = percentiles(plain);
        std::printf("| %-20s | %-28s | %8d | %22s | %22s |\n", row.search, row.what, found,
                    (number(a.first, 1) + " / " + number(a.second, 1) + " ms").c_str(),
                    (number(b.first, 1) + " / " + number(b.second, 1) + " ms").c_str());
    }
    const qint64 size = QFileInfo(path).size() + QFileInfo(path + QStringLiteral("-wal")).size();
    QSqlQuery bytes(db);
    bytes.exec(QStringLiteral("SELECT SUM(size) FROM receptions"));
    bytes.next();
    std::printf("\nThe history's file: %.1f MB for %d faxes (%.1f KB a fax), of which the bound counts %.1f MB (the texts, "
                "folded and as they came, and the receptions' lines).\n",
                size / 1e6, faxes, size / 1e3 / faxes, bytes.value(0).toLongLong() / 1e6);
}

} // namespace

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const bool quick = argc > 1 && std::strcmp(argv[1], "--quick") == 0;
    if (QStandardPaths::findExecutable(QStringLiteral("tesseract")).isEmpty()) {
        std::fprintf(stderr, "textbench: tesseract is not installed (tesseract-ocr, tesseract-ocr-jpn)\n");
        return 1;
    }
    // --search: the search alone.
    const bool searchOnly = argc > 1 && std::strcmp(argv[argc - 1], "--search") == 0;
    QTemporaryDir work;
    if (!searchOnly) {
        reading(work.path());
        toSearchable(work.path(), quick ? 2 : 5);
    }
    searching(work.path(), quick ? 2000 : 10000, quick ? 20 : 100);
    return 0;
}

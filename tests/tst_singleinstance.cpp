// One copy per user session: where the claim is made when the usual place
// cannot hold it, and how a later start reaches the running copy.

#include "core/runtimefolder.h"
#include "components/socketfaxlink.h"
#include "gui/singleinstance.h"
#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

class TestSingleInstance : public QObject
{
    Q_OBJECT

    QTemporaryDir work;

private Q_SLOTS:
    void laterStartIsAnsweredAtOnce()
    {
        const QStringList folders{work.filePath(QStringLiteral("run"))};
        SingleInstance running(QStringLiteral("kavrel-s"), folders);
        QString why;
        QCOMPARE(running.claim(&why), SingleInstance::Claim::Claimed);
        QSignalSpy asked(&running, &SingleInstance::activationRequested);

        SingleInstance later(QStringLiteral("kavrel-s"), folders);
        QCOMPARE(later.claim(&why), SingleInstance::Claim::HeldByAnother);
        QSignalSpy answered(&later, &SingleInstance::activationAnswered);
        later.activateRunning();
        QTRY_COMPARE(answered.size(), 1);
        QCOMPARE(answered.first().first().toBool(), true);
        QCOMPARE(asked.size(), 1);

        // A start that would claim in a better place first finds the claim
        // held in this one.
        SingleInstance elsewhere(QStringLiteral("kavrel-s"), QStringList{work.filePath(QStringLiteral("better"))} + folders);
        QCOMPARE(elsewhere.claim(&why), SingleInstance::Claim::HeldByAnother);
        QCOMPARE(elsewhere.folder(), folders.first());
    }

    // The place is passed over when it is not a folder or cannot be written;
    // with no place left, the claim fails with the reasons rather than
    // passing for a claim held elsewhere.
    void unusablePlacesArePassedOver()
    {
        const QString file = work.filePath(QStringLiteral("a-file"));
        QFile(file).open(QIODevice::WriteOnly);
        const QString readOnly = work.filePath(QStringLiteral("read-only"));
        QVERIFY(QDir().mkpath(readOnly));
        TestSupport::ReadOnly guard(readOnly);
        QVERIFY(guard.ok());
        const QString usable = work.filePath(QStringLiteral("usable"));

        SingleInstance fallback(QStringLiteral("kavrel-s"), {file, readOnly, usable});
        QString why;
        QCOMPARE(fallback.claim(&why), SingleInstance::Claim::Claimed);
        QCOMPARE(fallback.folder(), usable);

        SingleInstance none(QStringLiteral("kavrel-s"), {file, readOnly});
        QCOMPARE(none.claim(&why), SingleInstance::Claim::Failed);
        QVERIFY2(why.contains(file) && why.contains(readOnly), qPrintable(why));
    }

    // No usable runtime folder in the environment (Qt's fallback in /tmp
    // taken by somebody else): the claim and the fax link's own socket go
    // to the private folder in the user's cache.
    void withoutARuntimeFolderAPrivateOneIsUsed()
    {
        const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR"), tmp = qgetenv("TMPDIR"), cache = qgetenv("XDG_CACHE_HOME");
        const QString squatted = work.filePath(QStringLiteral("tmp"));
        QVERIFY(QDir().mkpath(squatted));
        const QString userName = QString::fromLocal8Bit(qgetenv("USER"));
        for (const QString &name : {QStringLiteral("runtime-") + userName, QStringLiteral("runtime-root"),
                                    QStringLiteral("xdg-runtime")}) {
            QFile squat(squatted + QLatin1Char('/') + name);
            QVERIFY(squat.open(QIODevice::WriteOnly));
        }
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(squatted + QStringLiteral("/xdg-runtime")));
        qputenv("TMPDIR", QFile::encodeName(squatted));
        qputenv("XDG_CACHE_HOME", QFile::encodeName(work.filePath(QStringLiteral("cache"))));

        SingleInstance instance(QStringLiteral("kavrel-s"));
        QString why;
        const SingleInstance::Claim claim = instance.claim(&why);
        const QString linkSocket = SocketFaxLink::defaultSocketPath();
        qputenv("XDG_RUNTIME_DIR", runtime);
        qputenv("TMPDIR", tmp);
        qputenv("XDG_CACHE_HOME", cache);

        const QString privateFolder = work.filePath(QStringLiteral("cache/kavrel-runtime"));
        QCOMPARE(claim, SingleInstance::Claim::Claimed);
        QCOMPARE(instance.folder(), privateFolder);
        QCOMPARE(linkSocket, privateFolder + QStringLiteral("/orvex-monitor.sock"));
        QCOMPARE(QFile::permissions(privateFolder) & 0x0077, QFileDevice::Permissions());
    }
};

QTEST_GUILESS_MAIN(TestSingleInstance)
#include "tst_singleinstance.moc"

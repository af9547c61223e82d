#include "receiver/passwordstore.h"

#include "receiver/logging.h"

#include <QTimer>

#include <qt6keychain/keychain.h>

#include <memory>

namespace {

const QString Service = QStringLiteral("kavrel-r");
const QString Key = QStringLiteral("mqtt-password");

// A job is never deleted while it runs (the keyring's answer would find it
// gone): it deletes itself once it has finished, and a job that took too
// long is merely no longer listened to.
template <typename Job>
Job *makeJob()
{
    auto *job = new Job(Service);
    job->setKey(Key);
    job->setAutoDelete(true);
    // Never the plain-text fallback of the library's own: where no keyring
    // answers, the settings file (0600) is the one place.
    job->setInsecureFallback(false);
    return job;
}

} // namespace

PasswordStore::PasswordStore(QObject *parent)
    : QObject(parent)
{
}

QString PasswordStore::describePlace() const
{
    switch (m_place) {
    case Place::Keyring:
        return QStringLiteral("パスワードはデスクトップのキーリングに保管します。");
    case Place::SettingsFile:
        return QStringLiteral("キーリングが使えないため、パスワードは設定ファイル（本人だけが読めます）に保管します。");
    case Place::Unknown:
        break;
    }
    return QStringLiteral("パスワードの保管先を確かめています。");
}

void PasswordStore::load(const QString &filePassword)
{
    m_pending = filePassword;
    auto *job = makeJob<QKeychain::ReadPasswordJob>();
    auto answered = std::make_shared<bool>(false);
    auto *timer = new QTimer(this);
    timer->setSingleShot(true);
    connect(timer, &QTimer::timeout, this, [this, answered, timer] {
        timer->deleteLater();
        if (std::exchange(*answered, true))
            return;
        qCWarning(lcBroker, "the keyring did not answer within %d s; the password stays in the settings file",
                  m_timeout / 1000);
        m_place = Place::SettingsFile;
        Q_EMIT loaded(m_pending, false);
    });
    connect(job, &QKeychain::Job::finished, this, [this, answered, timer, job] {
        timer->deleteLater();
        if (std::exchange(*answered, true))
            return;
        const QKeychain::Error error = job->error();
        if (error == QKeychain::NoError || error == QKeychain::EntryNotFound) {
            m_place = Place::Keyring;
            // A password in the settings file was written there last (one
            // given to the keyring is taken out of the file): it is moved.
            if (!m_pending.isEmpty()) {
                write(m_pending, true);
                return;
            }
            Q_EMIT loaded(error == QKeychain::NoError ? job->textData() : QString(), false);
            return;
        }
        qCInfo(lcBroker).noquote() << QStringLiteral("no keyring (%1); the password is kept in the settings file")
                                          .arg(job->errorString());
        m_place = Place::SettingsFile;
        Q_EMIT loaded(m_pending, false);
    });
    timer->start(m_timeout);
    job->start();
}

void PasswordStore::save(const QString &password)
{
    if (m_place == Place::Keyring)
        write(password, false);
}

void PasswordStore::write(const QString &password, bool moving)
{
    QKeychain::Job *job = nullptr;
    if (password.isEmpty()) {
        job = makeJob<QKeychain::DeletePasswordJob>();
    } else {
        auto *writer = makeJob<QKeychain::WritePasswordJob>();
        writer->setTextData(password);
        job = writer;
    }
    connect(job, &QKeychain::Job::finished, this, [this, job, password, moving] {
        if (job->error() == QKeychain::NoError) {
            if (moving)
                Q_EMIT loaded(password, true);
            return;
        }
        qCWarning(lcBroker).noquote() << QStringLiteral("the keyring did not keep the password (%1); it is kept in the settings file")
                                             .arg(job->errorString());
        m_place = Place::SettingsFile;
        if (moving)
            Q_EMIT loaded(password, false);
        else
            Q_EMIT placeChanged(m_place, job->errorString());
    });
    job->start();
}

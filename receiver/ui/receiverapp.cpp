#include "receiver/ui/receiverapp.h"

#include "core/testdelays.h"
#include "gui/seams.h"
#include "receiver/documentstore.h"
#include "receiver/history.h"
#include "receiver/logging.h"
#include "receiver/noticecontent.h"
#include "receiver/noticegate.h"
#include "receiver/noticelistener.h"
#include "receiver/passwordstore.h"
#include "receiver/sessionbus.h"
#include "receiver/subscription.h"
#include "receiver/ui/historywindow.h"
#include "receiver/ui/notifier.h"
#include "receiver/ui/presence.h"
#include "receiver/ui/receiversettingsdialog.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QPointer>
#include <QProcess>
#include <QFile>
#include <QHostAddress>
#include <QStandardPaths>
#include <QUrl>

namespace {

// Milliseconds without a drop after which a burst counts as over, and is told.
constexpr int BurstQuiet = 2000;

} // namespace

ReceiverApp::ReceiverApp(QObject *parent)
    : QObject(parent)
    , m_history(new History(History::defaultPath(), this))
    , m_listener(new NoticeListener(this))
    , m_gate(new NoticeGate(m_history, this))
    , m_presence(new Presence(this))
    , m_subscription(new Subscription(this))
    , m_passwords(new PasswordStore(this))
{
    QString error;
    m_settings = ReceiverSettings::load(&error);
    if (!error.isEmpty())
        m_startProblems.append(error);
    connect(m_history, &History::problem, this, &ReceiverApp::tell);
    // The count on the icon is drawn anew after the notice has gone out,
    // at most ten times a second: in a flood, drawing it at every turn
    // cost as much as writing the history.
    m_unreadUpdate.setSingleShot(true);
    m_unreadUpdate.setInterval(100);
    connect(&m_unreadUpdate, &QTimer::timeout, this, &ReceiverApp::updateUnread);
    connect(m_history, &History::changed, this, &ReceiverApp::updateUnreadSoon);
    connect(m_listener, &NoticeListener::received, this,
            [this](const QString &text, const QHostAddress &from) { m_gate->take(text, from.toString()); });
    connect(m_listener, &NoticeListener::dropped, this, [this](int count) {
        m_burstLost += count;
        m_burstOver.start(TestDelays::value("burst", BurstQuiet));
        updateLosses();
    });
    m_burstOver.setSingleShot(true);
    connect(&m_burstOver, &QTimer::timeout, this, [this] {
        const qint64 lost = std::exchange(m_burstLost, 0);
        qCWarning(lcListener, "the kernel dropped %lld datagrams of a burst", lost);
        tell(QStringLiteral("一度に届いた通知が多すぎたため、%1 件を受信できませんでした。受信履歴にもありません。"
                            "送信元で確かめてください。")
                 .arg(lost));
    });
    connect(m_subscription, &Subscription::received, m_gate, &NoticeGate::take);
    connect(m_subscription, &Subscription::faxStateChanged, this, &ReceiverApp::takeState);
    m_answerCheck.setInterval(TestDelays::value("answer", AnswerTime) / 2 + 1);
    connect(&m_answerCheck, &QTimer::timeout, this, &ReceiverApp::checkAnswers);
    connect(m_subscription, &Subscription::departmentsUnreadable, this, [this](const QStringList &names) {
        tell(QStringLiteral("次の部署の FAX は、この PC には届きません（MQTT ブローカーがこのユーザーに読ませていません）：%1。"
                            "必要なら管理者に確かめてください。")
                 .arg(names.join(QStringLiteral("、"))));
    });
    connect(m_subscription, &Subscription::departmentsChanged, this, [this] {
        if (m_historyWindow)
            m_historyWindow->setDepartmentNames(m_subscription->departmentNames());
    });
    connect(m_subscription, &Subscription::document, this, [this](const QString &commId, const QByteArray &pdf) {
        keepDocument(commId, pdf, false);
    });
    connect(m_subscription, &Subscription::documentFailed, m_history, &History::setDocumentFailed);
    connect(m_subscription, &Subscription::text, m_history, &History::addText);
    connect(m_subscription, &Subscription::picture, this, [this](const QString &commId, const QByteArray &png) {
        keepDocument(commId, png, true);
    });
    connect(m_subscription, &Subscription::subscriptionRefused, this, [this](const QString &topic) {
        // A department's faxes that this user may not read: said by name.
        const QStringList levels = topic.mid(m_settings.topic.trimmed().size() + 1).split(QLatin1Char('/'));
        const QString department = topic.startsWith(m_settings.topic.trimmed() + QLatin1Char('/')) && levels.size() >= 3
                && levels.at(1) != QLatin1String("+")
            ? levels.at(1)
            : QString();
        if (!department.isEmpty()) {
            tell(QStringLiteral("部署「%1」の FAX を受け取る許可が MQTT ブローカーにありません（%2）。この PC にはこの部署の FAX "
                                "は届きません。管理者に確かめてください。")
                     .arg(m_subscription->departmentNames().value(department, department), topic));
            return;
        }
        tell(QStringLiteral("MQTT ブローカーが %1 の受信を許していません。この PC にはそのトピックの受信は届きません。"
                            "管理者に確かめてください。")
                 .arg(topic));
    });
    connect(m_subscription, &Subscription::stateChanged, this, [this](const QString &text, bool connected) {
        // The journal has the library's words; the window, the user's.
        Q_UNUSED(text);
        const QString broker = m_subscription->client() ? m_subscription->client()->describe() : m_settings.broker;
        const QString state = connected ? QStringLiteral("MQTT ブローカー %1 に接続しています。").arg(broker)
                                        : QStringLiteral("MQTT ブローカー %1 に接続できません。UDP の受信は続けます。").arg(broker);
        m_presence->setBrokerState(state);
        if (m_historyWindow)
            m_historyWindow->setSharing(m_subscription->isActive(), m_subscription->requestUser(), m_settings.personName());
        if (!connected && !std::exchange(m_brokerTold, true))
            tell(state + QStringLiteral("\r\nアドレス・ユーザー名・パスワード・CA ファイルを設定で確かめてください"
                                        "（詳しい理由はログにあります）。"));
    });
    connect(m_gate, &NoticeGate::show, this, [this](const NotificationText &text, int gathered, qint64 entry, int failed) {
        showNotice(text, gathered, entry, failed);
        updateUnreadSoon();
        updateLosses();
    });
    connect(m_presence, &Presence::historyRequested, this, &ReceiverApp::openHistory);
    connect(m_presence, &Presence::latestRequested, this, [this] { openDocument(m_history->latestDocument().id); });
    connect(m_presence, &Presence::faxRequested, this, &ReceiverApp::openDocument);
    connect(m_presence, &Presence::allReadRequested, m_history, &History::markAllRead);
    connect(m_presence, &Presence::settingsRequested, this, &ReceiverApp::openSettings);
    connect(m_presence, &Presence::quitRequested, qApp, [] { QCoreApplication::exit(0); });
    // The broker is subscribed to once the password is known.
    connect(m_passwords, &PasswordStore::loaded, this, [this](const QString &password, bool moved) {
        m_settings.password = password;
        m_settings.passwordInFile = m_passwords->place() != PasswordStore::Place::Keyring;
        QString error;
        if (moved && !m_settings.save(&error))
            tell(error);
        m_subscription->apply(m_settings);
    });
    connect(m_passwords, &PasswordStore::placeChanged, this, [this](PasswordStore::Place, const QString &why) {
        m_settings.passwordInFile = true;
        QString error;
        if (!m_settings.save(&error))
            tell(error);
        tell(QStringLiteral("キーリングにパスワードを保管できなかったため、設定ファイル（本人だけが読めます）に保管しました。\r\n")
             + why);
    });
    m_gate->setIntervals(TestDelays::value("copy", NoticeGate::CopyWindow),
                         TestDelays::value("gather", NoticeGate::GatherInterval));
}

ReceiverApp::~ReceiverApp()
{
    delete m_historyWindow;
}

bool ReceiverApp::start()
{
    // Listen first, ask later: the port is had before anything that can
    // wait on the user or on another process (the history's file, the
    // session bus); what comes meanwhile waits in the socket's buffer.
    QString error;
    if (!m_listener->listen(m_settings, &error))
        m_startProblems.append(QStringLiteral("通知を受信できません。設定でポート番号を確かめてください。\r\n") + error);
    else if (!m_listener->warning().isEmpty())
        m_startProblems.append(m_listener->warning());
    m_history->open();
    // The session bus is asked beside the event loop, which runs meanwhile:
    // what comes is taken and written to the history at once, and its
    // notice waits for the bus's answer (or for the time it has to answer).
    // Nothing may reach for the bus before that (the application's own
    // loop asks it for the accessibility bridge at once, and would hang on
    // a bus that never answers).
    QEventLoop asking;
    // The answer may come after the program was asked to end, and this
    // wait is over.
    QPointer<QEventLoop> waiting(&asking);
    SessionBus::probe(TestDelays::value("bus", SessionBus::AnswerTime), this, [waiting](bool answered, const QString &why) {
        if (!waiting)
            return;
        if (!answered) {
            qCWarning(lcNotices).noquote() << QStringLiteral("no session bus (%1); notices are the program's own").arg(why);
            SessionBus::doNotUse();
        }
        waiting->exit(1);
    });
    // 0: the program was asked to end meanwhile (SIGTERM).
    if (asking.exec() == 0)
        return false;
    startWithBus();
    return true;
}

void ReceiverApp::startWithBus()
{
    QString error;
    m_notifier = new Notifier(this);
    m_notifier->setStayUntilClicked(m_settings.stayUntilClicked);
    m_notifier->setSound(m_settings.sound);
    connect(m_notifier, &Notifier::historyRequested, this, &ReceiverApp::openHistory);
    connect(m_notifier, &Notifier::openRequested, this, &ReceiverApp::openDocument);
    connect(m_notifier, &Notifier::takeRequested, this, [this](qint64 entry) { askState(entry, FaxState::Take); });
    m_presence->show();
    updateUnread();

    m_started = true;
    for (const QString &problem : std::as_const(m_startProblems))
        tell(problem);
    m_startProblems.clear();
    if (!m_settings.checkBroker(&error)) {
        tell(QStringLiteral("MQTT ブローカーの設定が使えないため、ブローカーからは受信しません。UDP の受信は続けます。\r\n") + error);
        m_settings.broker.clear();
    }
    m_passwords->load(m_settings.password);
    // The notices of what came while the bus was asked.
    for (const PendingNotice &notice : std::exchange(m_pendingNotices, {}))
        showNotice(notice.text, notice.gathered, notice.entry, notice.failed);
    if (std::exchange(m_historyAsked, false))
        openHistory();
}

void ReceiverApp::showNotice(const NotificationText &text, int gathered, qint64 entry, int failed)
{
    if (!m_notifier) {
        // The bus is still being asked: the newest few wait (all are in the
        // history, and counted unread, already).
        if (m_pendingNotices.size() >= MaxPendingNotices)
            m_pendingNotices.removeFirst();
        m_pendingNotices.append(PendingNotice{text, gathered, entry, failed});
        return;
    }
    // What came for it before it (its document, its picture) is looked up
    // only where documents come at all: a notice does not wait on a read of
    // the history for nothing.
    // Where states are shared, a fax's notice offers 担当する (unless
    // someone has it already).
    const bool sharing = m_subscription->isActive();
    const History::Entry shown = m_settings.documents || sharing ? m_history->entry(entry) : History::Entry();
    const FaxState::State state = shown.commId.isEmpty() ? FaxState::Unknown : m_history->state(shown.commId).state;
    // Someone has it already (its state came first): nobody is called to it.
    if (sharing && gathered == 1 && (state == FaxState::Taken || state == FaxState::Done))
        return;
    const bool takeable = sharing && shown.fax && !shown.commId.isEmpty() && state <= FaxState::Open;
    m_notifier->notify(text, gathered, entry, m_settings.documents ? attachment(shown) : Notifier::Attachment(), failed,
                       takeable ? shown.commId : QString());
}

void ReceiverApp::end()
{
    m_history->finish();
}

void ReceiverApp::tell(const QString &text)
{
    // Never a modal box: what is found in the background must not stop the
    // program (nor keep a SIGTERM from ending it).
    if (!m_started) {
        m_startProblems.append(text);
        return;
    }
    Seams::showNotice(m_presence->window(), text);
}

void ReceiverApp::updateUnreadSoon()
{
    // Not pushed back by what comes meanwhile: a flood would postpone it
    // for ever.
    if (!m_unreadUpdate.isActive())
        m_unreadUpdate.start();
}

void ReceiverApp::updateUnread()
{
    m_presence->setOpenFaxes(m_history->openCount());
    QList<Presence::Latest> latest;
    for (const History::Entry &entry : m_history->page(0, Presence::LatestShown, 200)) {
        const QString state = NoticeContent::state(entry.state);
        QString text = QStringLiteral("%1 %2").arg(entry.arrived.toLocalTime().toString(QStringLiteral("MM/dd HH:mm")),
                                                   entry.fax ? (entry.caller.isEmpty() ? QStringLiteral("不明") : entry.caller)
                                                             : entry.text.left(30));
        if (entry.failed)
            text += QStringLiteral("（受信失敗）");
        if (!state.isEmpty())
            text += QStringLiteral("　") + state;
        latest.append({entry.id, text});
    }
    m_presence->setLatest(latest);
}

void ReceiverApp::askState(qint64 entry, FaxState::Action action, const QString &memo)
{
    const History::Entry fax = m_history->entry(entry);
    const FaxState state = m_history->state(fax.commId);
    // What the fax monitor would refuse is told at once, with who has it
    // (a broker account several desks share tells them apart by name).
    const bool mine = state.user == m_subscription->requestUser() && state.name == m_settings.personName();
    if (state.state == FaxState::Taken && !mine && action != FaxState::Memo) {
        tell(QStringLiteral("この FAX は %1さんが担当しています。").arg(state.who()));
        return;
    }
    if (state.state == FaxState::Done && (action == FaxState::Take || action == FaxState::Finish)) {
        tell(QStringLiteral("この FAX は完了しています（%1）。").arg(NoticeContent::state(state)));
        return;
    }
    if (m_asked.size() >= MaxAsked && !m_asked.contains(fax.commId)) {
        tell(QStringLiteral("FAX モニターの返事を待っている依頼が多すぎます。少し待ってからもう一度操作してください。"));
        return;
    }
    QString error;
    if (!fax.fax || !m_subscription->request(fax.commId, action, memo, &error)) {
        tell(error.isEmpty() ? QStringLiteral("この受信は FAX ではないため、担当を決められません。") : error);
        return;
    }
    Asked asked{action, QElapsedTimer()};
    asked.since.start();
    m_asked.insert(fax.commId, asked);
    if (!m_answerCheck.isActive())
        m_answerCheck.start();
}

void ReceiverApp::takeState(const QString &fax, const FaxState &state, bool retained)
{
    m_history->setState(fax, state);
    // Taken or done, by anyone: its notice no longer calls for someone.
    if (m_notifier && (state.state == FaxState::Taken || state.state == FaxState::Done))
        m_notifier->withdraw(fax);
    // What the broker kept from before is no answer to a request.
    const auto asked = m_asked.constFind(fax);
    if (asked == m_asked.cend() || retained)
        return;
    const FaxState::Action action = asked->action;
    m_asked.erase(asked);
    // Another desk's 担当する came first.
    const bool others = state.state == FaxState::Taken
        && (state.user != m_subscription->requestUser() || state.name != m_settings.personName());
    if (others && (action == FaxState::Take || action == FaxState::Finish))
        tell(QStringLiteral("この FAX は %1さんが担当しています。").arg(state.who()));
    else if (state.state == FaxState::Done && action == FaxState::Take)
        tell(QStringLiteral("この FAX は完了しています（%1）。").arg(NoticeContent::state(state)));
}

void ReceiverApp::checkAnswers()
{
    // A request that no state answered: the fax monitor did not take it
    // (it is not running, keeps no states, or refused it), and nothing
    // changed. Said once for all that waited.
    const int answerTime = TestDelays::value("answer", AnswerTime);
    int unanswered = 0;
    for (auto it = m_asked.begin(); it != m_asked.end();) {
        if (it->since.hasExpired(answerTime)) {
            ++unanswered;
            qCWarning(lcBroker).noquote() << QStringLiteral("no state came for %1 in %2 ms after it was asked").arg(it.key()).arg(answerTime);
            it = m_asked.erase(it);
        } else {
            ++it;
        }
    }
    if (m_asked.isEmpty())
        m_answerCheck.stop();
    if (unanswered > 0)
        tell(QStringLiteral("FAX モニターから返事がなく、担当は変わっていません（%1 件）。FAX モニターが動いているか、"
                            "担当の共有（States）が有効かを管理者に確かめてください。")
                 .arg(unanswered));
}

void ReceiverApp::updateLosses()
{
    if (m_historyWindow)
        m_historyWindow->setLosses(m_listener->refused() + m_subscription->refused() + m_refusedDocuments,
                                   m_listener->lost());
}

Notifier::Attachment ReceiverApp::attachment(const History::Entry &entry) const
{
    Notifier::Attachment attached;
    const QString folder = m_history->documentFolder() + QLatin1Char('/');
    if (!entry.document.isEmpty())
        attached.document = folder + entry.document;
    if (!entry.picture.isEmpty())
        attached.picture = folder + entry.picture;
    return attached;
}

void ReceiverApp::keepDocument(const QString &commId, const QByteArray &bytes, bool picture)
{
    // Kept under a name of the program's own, or refused and counted: never
    // written where the user would open it unless it is what it says. The
    // first that came for a reception stays (a second is the broker's
    // second delivery, or not the fax monitor's at all).
    if (m_history->hasKept(commId, picture)) {
        qCDebug(lcBroker).noquote() << QStringLiteral("the %1 of reception %2 is kept already")
                                           .arg(picture ? QStringLiteral("picture") : QStringLiteral("document"), commId);
        return;
    }
    QString name, error;
    const QString folder = m_history->documentFolder();
    const DocumentStore::Outcome outcome = picture ? DocumentStore::storePicture(folder, bytes, &name, &error)
                                                   : DocumentStore::writeDocument(folder, bytes, &name, &error);
    const QString kind = picture ? QStringLiteral("picture") : QStringLiteral("document");
    if (outcome == DocumentStore::Outcome::NotWritten) {
        // Nothing wrong with what came: this PC cannot keep it. Said once
        // a run, and the history says that the document will not come.
        qCWarning(lcBroker).noquote() << QStringLiteral("the %1 of reception %2 cannot be kept: %3").arg(kind, commId, error);
        if (!picture)
            m_history->setDocumentFailed(commId, QStringLiteral("この PC に保存できませんでした：%1").arg(error));
        if (!std::exchange(m_documentsTold, true))
            tell(QStringLiteral("受信したFAXの文書を保存できません。\r\n") + error);
        return;
    }
    if (outcome == DocumentStore::Outcome::Refused) {
        refuseDocument(kind, commId, error);
        return;
    }
    if (picture) {
        keepWritten(commId, name, true);
        return;
    }
    // The document opens, with its reception's pages (where it succeeded:
    // a failed one may have fewer), before it is kept; a few checks at a
    // time, the rest in turn.
    if (m_pdfChecks.size() >= MaxWaitingPdfChecks) {
        QFile::remove(folder + QLatin1Char('/') + name);
        refuseDocument(QStringLiteral("document"), commId,
                       QStringLiteral("%1 documents wait to be checked already").arg(m_pdfChecks.size()));
        return;
    }
    m_pdfChecks.push_back(PdfCheck{commId, name});
    checkNextPdf();
}

void ReceiverApp::checkNextPdf()
{
    while (m_pdfChecking < MaxPdfChecks && !m_pdfChecks.empty()) {
        const PdfCheck check = m_pdfChecks.front();
        m_pdfChecks.pop_front();
        ++m_pdfChecking;
        const qint64 reception = m_history->idOf(check.commId);
        const History::Entry entry = reception > 0 ? m_history->entry(reception) : History::Entry();
        const QString path = m_history->documentFolder() + QLatin1Char('/') + check.name;
        DocumentStore::checkPdf(path, entry.failed ? -1 : entry.pages, this, [this, check, path](const QString &why) {
            --m_pdfChecking;
            QString name = check.name;
            name.chop(int(qstrlen(".part")));
            const QString kept = m_history->documentFolder() + QLatin1Char('/') + name;
            if (why.isEmpty() && QFile::rename(path, kept)) {
                keepWritten(check.commId, name, false);
            } else {
                QFile::remove(path);
                refuseDocument(QStringLiteral("document"), check.commId,
                               why.isEmpty() ? QStringLiteral("it cannot be named %1").arg(kept) : why);
            }
            checkNextPdf();
        });
    }
}

void ReceiverApp::refuseDocument(const QString &kind, const QString &commId, const QString &why)
{
    ++m_refusedDocuments;
    qCWarning(lcBroker).noquote() << QStringLiteral("refused the %1 of reception %2: %3").arg(kind, commId, why);
    // None that was what it said came: the history says none will, and
    // why, rather than 未着 for ever (a later good copy still takes its
    // place).
    if (kind == QLatin1String("document") && !m_history->hasKept(commId, false))
        m_history->setDocumentFailed(commId, QStringLiteral("届いた文書が正しくありませんでした（%1）").arg(why.left(120)));
    updateLosses();
}

void ReceiverApp::keepWritten(const QString &commId, const QString &name, bool picture)
{
    const QString folder = m_history->documentFolder();
    // A second copy may have been checked meanwhile: the first stays.
    if (m_history->hasKept(commId, picture)
        || !(picture ? m_history->addPicture(commId, name) : m_history->addDocument(commId, name))) {
        QFile::remove(folder + QLatin1Char('/') + name);
        return;
    }
    // Before or after its notice: the reception it belongs to is found by
    // its id; a notice still shown gets the document.
    if (const qint64 entry = m_history->idOf(commId); entry > 0 && m_notifier)
        m_notifier->attach(entry, attachment(m_history->entry(entry)));
}

bool ReceiverApp::pageOpener(const QString &desktopId, const QString &path, int page, QString *program, QStringList *arguments)
{
    const QString id = desktopId.toLower();
    const QString number = QString::number(page);
    if (id.contains(QLatin1String("evince")) || id.contains(QLatin1String("atril")) || id.contains(QLatin1String("xreader"))) {
        *program = id.contains(QLatin1String("evince")) ? QStringLiteral("evince")
            : id.contains(QLatin1String("atril"))       ? QStringLiteral("atril")
                                                        : QStringLiteral("xreader");
        *arguments = {QStringLiteral("--page-index=") + number, path};
    } else if (id.contains(QLatin1String("okular"))) {
        *program = QStringLiteral("okular");
        *arguments = {QStringLiteral("--page"), number, path};
    } else if (id.contains(QLatin1String("zathura"))) {
        *program = QStringLiteral("zathura");
        *arguments = {QStringLiteral("--page=") + number, path};
    } else if (id.contains(QLatin1String("qpdfview"))) {
        *program = QStringLiteral("qpdfview");
        *arguments = {QStringLiteral("--unique"), path + QLatin1Char('#') + number};
    } else {
        return false;
    }
    return true;
}

void ReceiverApp::openDocument(qint64 entry)
{
    openDocumentAt(entry, 1);
}

void ReceiverApp::openDocumentAt(qint64 entry, int page)
{
    const Notifier::Attachment attached = entry != 0 ? attachment(m_history->entry(entry)) : Notifier::Attachment();
    if (attached.document.isEmpty()) {
        openHistory();
        return;
    }
    // The desktop's opener, whose answer is read: one that merely started
    // is no fax opened (with no PDF viewer it ends saying so).
    // Opened under a name that says who sent it and when, as the viewer's
    // window title shows it (the history's own file is named by the program).
    const History::Entry fax = m_history->entry(entry);
    const QString title = QStringLiteral("FAX %1 %2").arg(
        fax.caller.trimmed().isEmpty() ? QStringLiteral("不明") : fax.caller.trimmed().left(40),
        (fax.received.isValid() ? fax.received : fax.arrived.toLocalTime()).toString(QStringLiteral("yyyy年M月d日 H時mm分")));
    const QString path = DocumentStore::titledLink(
        QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation) + QStringLiteral("/kavrel-r-faxes"),
        attached.document, title);
    if (page > 1) {
        // Which viewer the desktop opens PDFs with, asked without waiting;
        // one that can be told a page is, the rest open at the start.
        auto *asker = new QProcess(this);
        connect(asker, &QProcess::finished, this, [this, asker, path, page, entry] {
            asker->deleteLater();
            QString program;
            QStringList arguments;
            if (!pageOpener(QString::fromUtf8(asker->readAllStandardOutput().trimmed().left(200)), path, page, &program,
                            &arguments)) {
                openDocumentAt(entry, 1);
                return;
            }
            if (!QProcess::startDetached(program, arguments)) {
                qCWarning(lcNotices, "%s could not be started; the fax opens at its start", qPrintable(program));
                openDocumentAt(entry, 1);
            }
        });
        connect(asker, &QProcess::errorOccurred, this, [this, asker, entry](QProcess::ProcessError error) {
            if (error != QProcess::FailedToStart)
                return;
            asker->deleteLater();
            openDocumentAt(entry, 1);
        });
        // One that does not answer at once is not waited for.
        QTimer::singleShot(3000, asker, [asker] { asker->kill(); });
        asker->start(QStringLiteral("xdg-mime"), {QStringLiteral("query"), QStringLiteral("default"), QStringLiteral("application/pdf")});
        return;
    }
    auto *opener = new QProcess(this);
    opener->setProcessChannelMode(QProcess::ForwardedChannels);
    connect(opener, &QProcess::finished, this, [this, opener, path](int code, QProcess::ExitStatus status) {
        opener->deleteLater();
        if (status == QProcess::NormalExit && code == 0)
            return;
        qCWarning(lcNotices, "xdg-open could not open %s (exit status %d)", qPrintable(path), code);
        // 3: no program for it (xdg-open's own word for that).
        tell(status == QProcess::NormalExit && code == 3
                 ? QStringLiteral("受信したFAXを開けませんでした。PDF を表示するプログラムがないようです。"
                                  "evince などの PDF ビューアーをインストールしてください。\r\n") + path
                 : QStringLiteral("受信したFAXを開けませんでした（終了コード %1）。\r\n").arg(code) + path);
    });
    connect(opener, &QProcess::errorOccurred, this, [this, opener](QProcess::ProcessError error) {
        if (error != QProcess::FailedToStart)
            return;
        opener->deleteLater();
        tell(QStringLiteral("受信したFAXを開けませんでした。ファイルを開く xdg-open がありません。"
                            "xdg-utils と PDF ビューアー（evince など）をインストールしてください。"));
    });
    opener->start(QStringLiteral("xdg-open"), {path});
}

void ReceiverApp::openHistory()
{
    // Not before the session bus is known: a window would reach for it.
    if (!m_notifier) {
        m_historyAsked = true;
        return;
    }
    if (!m_historyWindow) {
        m_historyWindow = new HistoryWindow(m_history);
        m_historyWindow->setWindowIcon(receiverIcon());
        m_historyWindow->setDepartmentNames(m_subscription->departmentNames());
        connect(m_historyWindow, &HistoryWindow::openRequested, this, &ReceiverApp::openDocument);
        connect(m_historyWindow, &HistoryWindow::openAtPageRequested, this, &ReceiverApp::openDocumentAt);
        connect(m_historyWindow, &HistoryWindow::stateRequested, this, &ReceiverApp::askState);
    }
    m_historyWindow->setSharing(m_subscription->isActive(), m_subscription->requestUser(), m_settings.personName());
    m_historyWindow->setDocumentsTaken(m_settings.documents);
    updateLosses();
    m_historyWindow->present();
    updateUnread();
}

bool ReceiverApp::applySettings(const ReceiverSettings &settings, QString *error)
{
    if (settings.port != m_listener->port() || settings.allowedSenders != m_settings.allowedSenders) {
        if (!m_listener->listen(settings, error)) {
            *error = QStringLiteral("通知を受信できません。\r\n") + *error;
            return false;
        }
    }
    const bool brokerChanged = settings.broker != m_settings.broker || settings.topic != m_settings.topic
        || settings.caFile != m_settings.caFile || settings.user != m_settings.user
        || settings.password != m_settings.password || settings.documents != m_settings.documents;
    if (settings.password != m_settings.password)
        m_passwords->save(settings.password);
    m_settings = settings;
    if (m_notifier) {
        m_notifier->setStayUntilClicked(settings.stayUntilClicked);
        m_notifier->setSound(settings.sound);
    }
    if (brokerChanged) {
        m_brokerTold = false;
        m_presence->setBrokerState(QString());
    }
    // The person's name goes with the next request.
    m_subscription->apply(settings);
    if (m_historyWindow) {
        m_historyWindow->setSharing(m_subscription->isActive(), m_subscription->requestUser(), m_settings.personName());
        m_historyWindow->setDocumentsTaken(settings.documents);
    }
    return true;
}

void ReceiverApp::openSettings()
{
    ReceiverSettingsDialog dialog(
        m_settings, [this](const ReceiverSettings &settings, QString *error) { return applySettings(settings, error); },
        m_presence->window());
    dialog.setWindowIcon(receiverIcon());
    dialog.setPasswordNote(m_passwords->describePlace());
    dialog.setDepartmentNames(m_subscription->departmentNames());
    dialog.exec();
}

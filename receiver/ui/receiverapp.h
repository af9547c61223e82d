#pragma once

#include "receiver/history.h"
#include "receiver/receiversettings.h"
#include "receiver/ui/notifier.h"

#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <deque>

class HistoryWindow;
class NoticeGate;
class NoticeListener;
class PasswordStore;
class Presence;
class Subscription;

// kavrel-r: what arrives (datagrams, the broker's messages) goes through the
// gate into the history and out as notices; the program lives in the tray
// or the taskbar, from where the history and the settings open. This class
// puts the parts together and applies the settings to them.
class ReceiverApp : public QObject
{
    Q_OBJECT

public:
    explicit ReceiverApp(QObject *parent = nullptr);
    ~ReceiverApp() override;

    // Opens the history and starts listening; a port that cannot be had, a
    // history that cannot be kept are told, and the program runs on. What
    // needs the session bus (notices, tray, keyring) follows once it has
    // answered, or had its time to; receptions are taken meanwhile. False
    // when the program was asked to end before that.
    bool start();
    void openHistory();
    void openSettings();
    // Opens the document of a reception with the desktop's viewer (the
    // history, when it has none).
    void openDocument(qint64 entry);
    // At page, where the desktop's PDF viewer can be told one (else at its
    // start).
    void openDocumentAt(qint64 entry, int page);
    // How the PDF viewer of the desktop file id opens path at page (from 1);
    // false for a viewer that cannot be told a page (or is not known).
    static bool pageOpener(const QString &desktopId, const QString &path, int page, QString *program,
                           QStringList *arguments);
    // What must not be lost as the program ends: the history is written.
    void end();
    // Asks the fax monitor to change the state of entry's fax (担当する,
    // 完了にする, 担当を外す, メモ); what cannot be asked, or is refused,
    // is told.
    void askState(qint64 entry, FaxState::Action action, const QString &memo = QString());
    // Milliseconds a request waits for its fax monitor's answer before the
    // user is told that none came.
    static constexpr int AnswerTime = 5000;

    History *history() const { return m_history; }
    NoticeListener *listener() const { return m_listener; }
    NoticeGate *gate() const { return m_gate; }
    Notifier *notifier() const { return m_notifier; }
    Presence *presence() const { return m_presence; }
    Subscription *subscription() const { return m_subscription; }
    PasswordStore *passwords() const { return m_passwords; }
    HistoryWindow *historyWindow() const { return m_historyWindow; }

    // Applies settings to the parts; false, with the reason, when they cannot
    // be (the listener then goes on as it was, and nothing else changes).
    bool applySettings(const ReceiverSettings &settings, QString *error);

private:
    // Notices that wait while the session bus is asked, at most.
    static constexpr int MaxPendingNotices = 16;
    struct PendingNotice {
        NotificationText text;
        int gathered;
        qint64 entry;
        int failed;
    };

    // PDFs checked at once, at most, and waiting to be.
    static constexpr int MaxPdfChecks = 2;
    static constexpr size_t MaxWaitingPdfChecks = 256;
    struct PdfCheck {
        QString commId;
        QString name; // in the documents' folder
    };

    void startWithBus();
    void checkNextPdf();
    void showNotice(const NotificationText &text, int gathered, qint64 entry, int failed);
    void updateUnread();
    void takeState(const QString &fax, const FaxState &state, bool retained);
    void checkAnswers();
    void updateUnreadSoon();
    void updateLosses();
    Notifier::Attachment attachment(const History::Entry &entry) const;
    void keepDocument(const QString &commId, const QByteArray &bytes, bool picture);
    void refuseDocument(const QString &kind, const QString &commId, const QString &why);
    // Records a file written and checked as the reception's document or
    // picture (or removes it, when one is kept already).
    void keepWritten(const QString &commId, const QString &name, bool picture);
    // Tells the user of a problem without a modal loop; at start, once the
    // program is up.
    void tell(const QString &text);

    ReceiverSettings m_settings;
    History *m_history;
    NoticeListener *m_listener;
    NoticeGate *m_gate;
    Notifier *m_notifier = nullptr; // once the session bus is known
    Presence *m_presence;
    Subscription *m_subscription;
    PasswordStore *m_passwords;
    bool m_brokerTold = false; // a broker that cannot be reached is told once
    bool m_started = false;
    QStringList m_startProblems;
    qint64 m_burstLost = 0;        // what the kernel dropped in the burst under way
    qint64 m_refusedDocuments = 0; // documents and pictures that were not what they said
    bool m_documentsTold = false;  // that documents cannot be kept here
    QList<PendingNotice> m_pendingNotices;
    bool m_historyAsked = false; // before the bus was known
    std::deque<PdfCheck> m_pdfChecks;
    int m_pdfChecking = 0;
    QTimer m_burstOver;
    QTimer m_unreadUpdate;
    HistoryWindow *m_historyWindow = nullptr;
    // Requests made of the fax monitors, by fax, until their state comes.
    static constexpr int MaxAsked = 64;
    struct Asked {
        FaxState::Action action;
        QElapsedTimer since;
    };
    QHash<QString, Asked> m_asked;
    QTimer m_answerCheck;
};

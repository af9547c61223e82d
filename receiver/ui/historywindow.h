#pragma once

#include "receiver/history.h"

#include <QAbstractTableModel>
#include <QHash>
#include <QPixmap>
#include <QTimer>
#include <QWidget>

class QAction;
class QComboBox;
class QLabel;
class QLineEdit;
class QTableView;

// The history as a table, newest first (or as sorted): when each reception
// arrived, what it was, who sent it, the number, the pages, when it was
// received, whether its document came; the sender's address and the copies
// on request. Rows are read a page at a time, as the view scrolls to them,
// each text only as far as a table shows it, and only those a search
// leaves.
class HistoryModel : public QAbstractTableModel
{
    Q_OBJECT

public:
    enum Column { Arrived, State, What, Caller, Number, Pages, Received, Document, Department, Source, Copies, Match, ColumnCount };
    // The match's words, as HTML with what matched in <b>.
    static constexpr int HtmlRole = Qt::UserRole;
    static constexpr int PageSize = 100;
    // Characters of a text read for the table (a reception's line is far
    // shorter).
    static constexpr int PreviewLength = 1000;

    explicit HistoryModel(History *history, QObject *parent = nullptr);

    // Reads the history again. With markUnread, what is unread now is shown
    // bold from then on; otherwise what was marked stays so, and what came
    // since is too.
    void refresh(bool markUnread = false);
    void setSearch(const QString &search);
    // Only the department's receptions (its id); every one's when empty.
    void setDepartment(const QString &department);
    // Which receptions are shown (all, 未対応, this user's, failed); me is
    // the broker's user of this desktop.
    void setShow(History::Show show, const QString &me, const QString &myName);
    // Whether faxes' documents are taken here: a fax's 文書 says whether
    // it came only then.
    void setDocumentsTaken(bool taken);
    // Receptions left out of the table (removed, until that cannot be undone).
    void setHidden(const QList<qint64> &hidden);
    // What the departments are called, by id (as the fax monitors say).
    void setDepartmentNames(const QHash<QString, QString> &names);
    History::Entry entry(int row) const { return m_entries.value(row); }
    // Where the fax of row matches the search's words: its page (0 when
    // not in its text).
    HistorySearch::Match match(int row) const { return m_matches.value(m_entries.value(row).id); }
    // Whether the search has words to find (not only filters).
    bool searchesText() const { return m_searchesText; }

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    // All the receptions there are (that the search leaves); rowCount() is
    // those read so far.
    int total() const { return m_total; }
    bool canFetchMore(const QModelIndex &parent) const override;
    void fetchMore(const QModelIndex &parent) override;
    QVariant data(const QModelIndex &index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    void sort(int column, Qt::SortOrder order) override;
    // A row as text, as it is copied.
    QString rowText(int row) const;

private:
    History *m_history;
    History::Query m_query;
    QHash<QString, QString> m_departmentNames;
    bool m_loaded = false;
    bool m_documentsTaken = true;
    QList<History::Entry> m_entries;
    // Why each row read matched the search, by reception.
    QHash<qint64, HistorySearch::Match> m_matches;
    bool m_searchesText = false;
    void readMatches(qsizetype from);
    int m_total = 0;
    qint64 m_firstUnread = 0; // written receptions shown bold from here on; 0 (or below) for none
};

class HistoryWindow : public QWidget
{
    Q_OBJECT

public:
    // Milliseconds during which a removal can be undone.
    static constexpr int UndoTime = 10000;

    explicit HistoryWindow(History *history, QWidget *parent = nullptr);
    ~HistoryWindow() override;

    // Shows the window: what is unread is marked there, and counts as seen.
    void present();
    HistoryModel *model() const { return m_model; }
    QTableView *view() const { return m_view; }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

public:
    // Receptions refused (senders not taken, too large, stale) and lost
    // (the kernel's buffer was full), since the program started.
    void setLosses(qint64 refused, qint64 lost);
    // The departments known: the table shows them and can be narrowed to one.
    void setDepartmentNames(const QHash<QString, QString> &names);
    // Whether faxes' states are shared here (a broker), and the broker's
    // user of this desktop, whose faxes are 自分の担当. Without a broker,
    // the window says that sharing needs one.
    void setSharing(bool sharing, const QString &me, const QString &myName);
    void setDocumentsTaken(bool taken) { m_model->setDocumentsTaken(taken); }
    QLabel *preview() const { return m_preview; }

Q_SIGNALS:
    // 開く: the document of a reception (at page, where the search found it).
    void openRequested(qint64 entry);
    void openAtPageRequested(qint64 entry, int page);
    // 担当する, 完了にする, 担当を外す, メモ on a reception.
    void stateRequested(qint64 entry, FaxState::Action action, const QString &memo);

private:
    void historyChanged();
    void clearAll();
    void showCounts();
    void openCurrent();
    void showMenu(const QPoint &position);
    void ask(FaxState::Action action);
    void askMemo();
    void removeCurrent();
    // Removes from the history what was removed in the window.
    void removeNow();
    void showPreview();
    // The actions on the current row, as its state allows them.
    void updateActions();

    History *m_history;
    HistoryModel *m_model;
    QTableView *m_view;
    QLineEdit *m_search;
    QComboBox *m_department;
    QComboBox *m_show;
    QLabel *m_status;
    QLabel *m_sharingNote;
    QLabel *m_preview;
    QString m_previewPicture;
    QPixmap m_previewPixmap;
    QSize m_previewSize;
    bool m_sharing = false;
    QString m_me;
    QString m_myName;
    QAction *m_take;
    QAction *m_done;
    QAction *m_release;
    QAction *m_memo;
    QAction *m_remove;
    QList<qint64> m_removed; // removed in the window, not yet from the history
    QTimer m_removeLater;
    class QPushButton *m_undo;
    QTimer m_refresh;
    qint64 m_refused = 0;
    qint64 m_lost = 0;
};

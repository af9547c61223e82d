#pragma once

#include "receiver/history.h"

#include <QAbstractTableModel>
#include <QSet>
#include <QTimer>
#include <QWidget>

class QLabel;
class QTableView;

// The history as a table, newest first: when each reception arrived, from
// which address, and what it said (the fields of a fax reception, or the
// text as it came). Rows are read a page at a time, as the view scrolls to
// them, and each text only as far as a table shows it.
class HistoryModel : public QAbstractTableModel
{
    Q_OBJECT

public:
    enum Column { Arrived, Source, What, Caller, Number, Pages, Received, Copies, ColumnCount };
    static constexpr int PageSize = 100;
    // Characters of a text read for the table (a reception's line is far
    // shorter).
    static constexpr int PreviewLength = 1000;

    explicit HistoryModel(History *history, QObject *parent = nullptr);

    // Reads the history again. With markUnread, what is unread now is shown
    // bold from then on; otherwise what was marked stays so.
    void refresh(bool markUnread = false);

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    // All the receptions there are; rowCount() is those read so far.
    int total() const { return m_total; }
    bool canFetchMore(const QModelIndex &parent) const override;
    void fetchMore(const QModelIndex &parent) override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

private:
    History *m_history;
    QList<History::Entry> m_entries;
    int m_total = 0;
    qint64 m_firstUnread = 0; // written receptions shown bold from here on; 0 (or below) for none
};

class HistoryWindow : public QWidget
{
    Q_OBJECT

public:
    explicit HistoryWindow(History *history, QWidget *parent = nullptr);

    // Shows the window: what is unread is marked there, and counts as seen.
    void present();
    HistoryModel *model() const { return m_model; }
    // Receptions refused (senders not taken, too large, stale) and lost
    // (the kernel's buffer was full), since the program started.
    void setLosses(qint64 refused, qint64 lost);

private:
    void historyChanged();
    void clearAll();
    void showCounts();

    History *m_history;
    HistoryModel *m_model;
    QTableView *m_view;
    QLabel *m_status;
    QTimer m_refresh;
    qint64 m_refused = 0;
    qint64 m_lost = 0;
};

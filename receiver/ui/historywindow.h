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
// text as it came).
class HistoryModel : public QAbstractTableModel
{
    Q_OBJECT

public:
    enum Column { Arrived, Source, What, Caller, Number, Pages, Received, Copies, ColumnCount };

    explicit HistoryModel(History *history, QObject *parent = nullptr);

    // Reads the history again. With markUnread, what is unread now is shown
    // bold from then on; otherwise what was marked stays so.
    void refresh(bool markUnread = false);

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

private:
    History *m_history;
    QList<History::Entry> m_entries;
    QSet<qint64> m_unread;
};

class HistoryWindow : public QWidget
{
    Q_OBJECT

public:
    explicit HistoryWindow(History *history, QWidget *parent = nullptr);

    // Shows the window: what is unread is marked there, and counts as seen.
    void present();
    HistoryModel *model() const { return m_model; }

private:
    void historyChanged();
    void clearAll();

    History *m_history;
    HistoryModel *m_model;
    QTableView *m_view;
    QLabel *m_status;
    QTimer m_refresh;
};

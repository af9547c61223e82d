#pragma once

#include "receiver/history.h"

#include <QAbstractTableModel>
#include <QHash>
#include <QTimer>
#include <QWidget>

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
    enum Column { Arrived, What, Caller, Number, Pages, Received, Document, Department, Source, Copies, ColumnCount };
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
    // What the departments are called, by id (as the fax monitors say).
    void setDepartmentNames(const QHash<QString, QString> &names);
    History::Entry entry(int row) const { return m_entries.value(row); }

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
    QTableView *view() const { return m_view; }
    // Receptions refused (senders not taken, too large, stale) and lost
    // (the kernel's buffer was full), since the program started.
    void setLosses(qint64 refused, qint64 lost);
    // The departments known: the table shows them and can be narrowed to one.
    void setDepartmentNames(const QHash<QString, QString> &names);

Q_SIGNALS:
    // 開く: the document of a reception.
    void openRequested(qint64 entry);

private:
    void historyChanged();
    void clearAll();
    void showCounts();
    void openCurrent();
    void showMenu(const QPoint &position);

    History *m_history;
    HistoryModel *m_model;
    QTableView *m_view;
    QLineEdit *m_search;
    QComboBox *m_department;
    QLabel *m_status;
    QTimer m_refresh;
    qint64 m_refused = 0;
    qint64 m_lost = 0;
};

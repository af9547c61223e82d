#include "receiver/ui/historywindow.h"

#include "receiver/notificationtext.h"
#include "gui/seams.h"

#include <QFont>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTableView>
#include <QVBoxLayout>

HistoryModel::HistoryModel(History *history, QObject *parent)
    : QAbstractTableModel(parent)
    , m_history(history)
{
}

void HistoryModel::refresh(bool markUnread)
{
    beginResetModel();
    m_total = m_history->count();
    m_entries = m_history->page(0, PageSize, PreviewLength);
    if (markUnread)
        m_firstUnread = m_history->firstUnread();
    endResetModel();
}

bool HistoryModel::canFetchMore(const QModelIndex &parent) const
{
    return !parent.isValid() && m_entries.size() < m_total;
}

void HistoryModel::fetchMore(const QModelIndex &parent)
{
    if (parent.isValid())
        return;
    const QList<History::Entry> more = m_history->page(int(m_entries.size()), PageSize, PreviewLength);
    if (more.isEmpty()) {
        m_total = int(m_entries.size());
        return;
    }
    beginInsertRows(QModelIndex(), int(m_entries.size()), int(m_entries.size() + more.size()) - 1);
    m_entries += more;
    endInsertRows();
}

int HistoryModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(m_entries.size());
}

int HistoryModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant HistoryModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= m_entries.size())
        return QVariant();
    const History::Entry &entry = m_entries.at(index.row());
    if (role == Qt::FontRole) {
        QFont font;
        // Receptions not written yet (numbered below zero) say it themselves.
        font.setBold(entry.id < 0 ? entry.unread : m_firstUnread > 0 && entry.id >= m_firstUnread);
        return font;
    }
    if (role != Qt::DisplayRole && role != Qt::ToolTipRole)
        return QVariant();
    const NotificationText text = NotificationText::parse(entry.text);
    const bool fax = text.kind == NotificationText::Fax;
    const Reception &reception = text.reception;
    switch (index.column()) {
    case Arrived:
        return entry.arrived.toString(QStringLiteral("yyyy/MM/dd HH:mm:ss"));
    case Source:
        return entry.source;
    case What:
        if (fax)
            return reception.ok() ? QStringLiteral("FAX受信")
                                  : QStringLiteral("受信失敗：%1").arg(reception.error().isEmpty() ? QStringLiteral("（内容不明）")
                                                                                                  : reception.error());
        if (text.kind == NotificationText::Test)
            return QStringLiteral("通知テスト");
        return entry.text;
    case Caller:
        return fax ? reception.caller() : QString();
    case Number:
        return fax ? reception.number : QString();
    case Pages:
        return fax && reception.pageCount() >= 0 ? QString::number(reception.pageCount()) : QString();
    case Received:
        if (fax)
            return reception.received.toString(QStringLiteral("yyyy/MM/dd HH:mm:ss"));
        return text.kind == NotificationText::Test ? text.testTime.toString(QStringLiteral("HH:mm:ss")) : QString();
    case Copies:
        return entry.copies;
    }
    return QVariant();
}

QVariant HistoryModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return QVariant();
    static const char *const titles[] = {"到着", "送信元", "内容", "差出人", "番号", "枚数", "受信時刻", "件数"};
    return section >= 0 && section < ColumnCount ? QString::fromUtf8(titles[section]) : QVariant();
}

HistoryWindow::HistoryWindow(History *history, QWidget *parent)
    : QWidget(parent, Qt::Window)
    , m_history(history)
    , m_model(new HistoryModel(history, this))
    , m_view(new QTableView(this))
    , m_status(new QLabel(this))
{
    setObjectName(QStringLiteral("HistoryWindow"));
    setWindowTitle(QStringLiteral("受信履歴"));
    m_view->setObjectName(QStringLiteral("HistoryView"));
    m_view->setModel(m_model);
    m_view->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_view->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_view->verticalHeader()->hide();
    m_view->horizontalHeader()->setStretchLastSection(false);
    m_view->horizontalHeader()->setSectionResizeMode(HistoryModel::What, QHeaderView::Stretch);

    auto *clearButton = new QPushButton(QStringLiteral("すべて消去"), this);
    clearButton->setObjectName(QStringLiteral("ClearButton"));
    auto *closeButton = new QPushButton(QStringLiteral("閉じる"), this);
    auto *buttons = new QHBoxLayout;
    buttons->addWidget(m_status, 1);
    buttons->addWidget(clearButton);
    buttons->addWidget(closeButton);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(m_view);
    layout->addLayout(buttons);
    resize(900, 420);

    // While receptions pour in, the table is read again once a second.
    m_refresh.setSingleShot(true);
    m_refresh.setInterval(1000);
    connect(&m_refresh, &QTimer::timeout, this, [this] {
        m_model->refresh();
        showCounts();
    });
    connect(history, &History::changed, this, &HistoryWindow::historyChanged);
    connect(clearButton, &QPushButton::clicked, this, &HistoryWindow::clearAll);
    connect(closeButton, &QPushButton::clicked, this, &QWidget::close);
}

void HistoryWindow::present()
{
    m_model->refresh(true);
    showCounts();
    show();
    // Marked read once the window is up: on a long history that is the
    // slower part, and the window need not wait for it.
    QTimer::singleShot(0, m_history, &History::markAllRead);
    setWindowState(windowState() & ~Qt::WindowMinimized);
    raise();
    activateWindow();
}

void HistoryWindow::historyChanged()
{
    if (isVisible() && !m_refresh.isActive())
        m_refresh.start();
}

void HistoryWindow::clearAll()
{
    if (!Seams::confirm(this, QStringLiteral("受信履歴をすべて消去します。よろしいですか？")))
        return;
    m_history->clear();
    m_model->refresh(true);
    showCounts();
}

void HistoryWindow::setLosses(qint64 refused, qint64 lost)
{
    m_refused = refused;
    m_lost = lost;
    showCounts();
}

void HistoryWindow::showCounts()
{
    QString text = QStringLiteral("%1件").arg(m_model->total());
    if (m_refused > 0)
        text += QStringLiteral("　受け付けなかった通知：%1件").arg(m_refused);
    if (m_lost > 0)
        text += QStringLiteral("　取りこぼした通知：%1件").arg(m_lost);
    m_status->setText(text);
}

#include "receiver/ui/historywindow.h"

#include "core/testdelays.h"
#include "gui/seams.h"
#include "receiver/noticecontent.h"
#include "receiver/notificationtext.h"

#include <QApplication>
#include <QClipboard>
#include <QFont>
#include <QHBoxLayout>
#include <QComboBox>
#include <QHeaderView>
#include <QKeySequence>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QSplitter>
#include <QAction>
#include <QCloseEvent>
#include <QEvent>
#include <QPixmap>
#include <QShortcut>
#include <QTableView>
#include <QVBoxLayout>
#include <QAbstractTextDocumentLayout>
#include <QPainter>
#include <QStyledItemDelegate>
#include <QTextDocument>

namespace {

const QString DateFormat = QStringLiteral("yyyy/MM/dd HH:mm:ss");

History::SortBy sortBy(int column)
{
    switch (column) {
    case HistoryModel::Caller: return History::SortBy::Caller;
    case HistoryModel::Number: return History::SortBy::Number;
    case HistoryModel::Pages: return History::SortBy::Pages;
    case HistoryModel::Received: return History::SortBy::Received;
    case HistoryModel::What: return History::SortBy::What;
    case HistoryModel::Department: return History::SortBy::Department;
    case HistoryModel::State: return History::SortBy::State;
    case HistoryModel::Document: return History::SortBy::Document;
    case HistoryModel::Source: return History::SortBy::Source;
    case HistoryModel::Copies: return History::SortBy::Copies;
    default: return History::SortBy::Arrived;
    }
}

// When a reception arrived, as an office reads it: 今日 10:31, 昨日 09:12,
// 2026/12/06 15:00; with the fax server's time of reception when that is
// another minute (a reception that waited somewhere).
QString when(const History::Entry &entry)
{
    const QDateTime arrived = entry.arrived.toLocalTime();
    const qint64 days = arrived.date().daysTo(QDate::currentDate());
    const QString time = arrived.toString(QStringLiteral("HH:mm"));
    QString text = days == 0 ? QStringLiteral("今日 %1").arg(time)
        : days == 1          ? QStringLiteral("昨日 %1").arg(time)
                             : arrived.toString(QStringLiteral("yyyy/MM/dd HH:mm"));
    if (entry.received.isValid() && qAbs(entry.received.secsTo(arrived)) >= 60)
        text += QStringLiteral("（受信 %1）").arg(entry.received.toString(QStringLiteral("MM/dd HH:mm")));
    return text;
}

// The words around a match, what matched in bold.
class MatchDelegate : public QStyledItemDelegate
{
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const override
    {
        QStyleOptionViewItem item = option;
        initStyleOption(&item, index);
        item.text.clear();
        QStyle *style = item.widget ? item.widget->style() : QApplication::style();
        style->drawControl(QStyle::CE_ItemViewItem, &item, painter, item.widget);
        QTextDocument document;
        document.setDefaultFont(item.font);
        document.setDocumentMargin(2);
        document.setHtml(index.data(HistoryModel::HtmlRole).toString());
        painter->save();
        painter->translate(item.rect.topLeft());
        const QRect clip(0, 0, item.rect.width(), item.rect.height());
        painter->setClipRect(clip);
        QAbstractTextDocumentLayout::PaintContext context;
        context.clip = clip;
        context.palette.setColor(QPalette::Text, item.palette.color(
            item.state & QStyle::State_Selected ? QPalette::HighlightedText : QPalette::Text));
        document.documentLayout()->draw(painter, context);
        painter->restore();
    }
};

} // namespace

HistoryModel::HistoryModel(History *history, QObject *parent)
    : QAbstractTableModel(parent)
    , m_history(history)
{
}

void HistoryModel::refresh(bool markUnread)
{
    beginResetModel();
    m_loaded = true;
    m_total = m_history->count(m_query);
    m_entries = m_history->page(0, PageSize, PreviewLength, m_query);
    m_matches.clear();
    readMatches(0);
    // What came since the window opened is unread too, as the tray counts it.
    const qint64 firstUnread = m_history->firstUnread();
    if (markUnread || m_firstUnread <= 0)
        m_firstUnread = firstUnread;
    endResetModel();
}

void HistoryModel::setSearch(const QString &search)
{
    m_query.search = search.trimmed();
    m_searchesText = !HistorySearch::parse(m_query.search, QDate::currentDate()).words.isEmpty();
    refresh();
}

void HistoryModel::readMatches(qsizetype from)
{
    if (!m_searchesText)
        return;
    for (qsizetype row = from; row < m_entries.size(); ++row) {
        const History::Entry &entry = m_entries.at(row);
        if (!entry.commId.isEmpty())
            m_matches.insert(entry.id, m_history->match(entry.commId, m_query.search));
    }
}

void HistoryModel::setDepartment(const QString &department)
{
    m_query.department = department;
    refresh();
}

void HistoryModel::setShow(History::Show show, const QString &me, const QString &myName)
{
    m_query.show = show;
    m_query.me = me;
    m_query.myName = myName;
    refresh();
}

void HistoryModel::setHidden(const QList<qint64> &hidden)
{
    m_query.hidden = hidden;
    refresh();
}

void HistoryModel::setDocumentsTaken(bool taken)
{
    m_documentsTaken = taken;
    if (!m_entries.isEmpty())
        Q_EMIT dataChanged(index(0, Document), index(int(m_entries.size()) - 1, Document));
}

void HistoryModel::setDepartmentNames(const QHash<QString, QString> &names)
{
    m_departmentNames = names;
    if (!m_entries.isEmpty())
        Q_EMIT dataChanged(index(0, Department), index(int(m_entries.size()) - 1, Department));
}

void HistoryModel::sort(int column, Qt::SortOrder order)
{
    // The view asks again for the order it has (turning sorting on, a
    // header set up): the rows are read once.
    if (m_loaded && sortBy(column) == m_query.sortBy && order == m_query.order)
        return;
    m_query.sortBy = sortBy(column);
    m_query.order = order;
    refresh();
}

bool HistoryModel::canFetchMore(const QModelIndex &parent) const
{
    return !parent.isValid() && m_entries.size() < m_total;
}

void HistoryModel::fetchMore(const QModelIndex &parent)
{
    if (parent.isValid())
        return;
    const QList<History::Entry> more = m_history->page(int(m_entries.size()), PageSize, PreviewLength, m_query);
    if (more.isEmpty()) {
        m_total = int(m_entries.size());
        return;
    }
    beginInsertRows(QModelIndex(), int(m_entries.size()), int(m_entries.size() + more.size()) - 1);
    m_entries += more;
    readMatches(m_entries.size() - more.size());
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
    // A reception that failed stands out.
    if (role == Qt::ForegroundRole)
        return entry.failed ? QVariant(QColor(0xb0, 0x00, 0x00)) : QVariant();
    if (role == Qt::BackgroundRole) {
        if (entry.failed)
            return QColor(0xff, 0xe8, 0xe8);
        // The days told apart: every second day's rows shaded.
        return entry.arrived.toLocalTime().date().toJulianDay() % 2 ? QVariant(QColor(0xf2, 0xf5, 0xfa)) : QVariant();
    }
    if (index.column() == Match) {
        const HistorySearch::Match match = m_matches.value(entry.id);
        if (match.page <= 0 || (role != Qt::DisplayRole && role != Qt::ToolTipRole && role != HtmlRole))
            return QVariant();
        const QString html = QStringLiteral("%1 ページ：%2").arg(match.page).arg(match.html);
        if (role == Qt::DisplayRole) {
            QTextDocument plain;
            plain.setHtml(html);
            return plain.toPlainText();
        }
        return html;
    }
    if (role != Qt::DisplayRole && role != Qt::ToolTipRole)
        return QVariant();
    switch (index.column()) {
    case Arrived:
        if (role == Qt::ToolTipRole)
            return QStringLiteral("到着 %1").arg(entry.arrived.toLocalTime().toString(DateFormat))
                + (entry.received.isValid() ? QStringLiteral("\n受信 %1").arg(entry.received.toString(DateFormat)) : QString());
        return when(entry);
    case State: {
        const QString state = NoticeContent::state(entry.state);
        if (entry.state.memo.isEmpty())
            return state;
        return role == Qt::ToolTipRole ? QStringLiteral("%1\nメモ：%2").arg(state, entry.state.memo)
                                       : QStringLiteral("%1［メモ］").arg(state);
    }
    case What:
        if (entry.fax)
            return entry.failed ? QStringLiteral("受信失敗：%1").arg(NoticeContent::failure(entry.error)) : QStringLiteral("FAX受信");
        if (NotificationText::parse(entry.text).kind == NotificationText::Test)
            return QStringLiteral("通知テスト");
        return entry.text;
    case Caller:
        // A fax whose sender gave no name.
        return entry.fax && entry.caller.trimmed().isEmpty() ? QStringLiteral("不明") : entry.caller;
    case Number:
        return entry.number;
    case Pages:
        return entry.fax && entry.pages >= 0 ? QString::number(entry.pages) : QString();
    case Received:
        return entry.received.isValid() ? entry.received.toString(DateFormat) : QString();
    case Document:
        // Only a reception whose document is to come says whether it has.
        if (entry.commId.isEmpty() || (!m_documentsTaken && entry.document.isEmpty()))
            return QString();
        if (!entry.document.isEmpty())
            return QStringLiteral("あり");
        if (entry.documentError.isEmpty())
            return QStringLiteral("未着");
        // None will come: the fax server's side says why.
        return role == Qt::ToolTipRole ? QStringLiteral("文書は届きません：%1").arg(entry.documentError)
                                       : QStringLiteral("なし");
    case Department:
        return m_departmentNames.value(entry.department, entry.department);
    case Source:
        return entry.source;
    case Copies:
        return entry.copies;
    }
    return QVariant();
}

QVariant HistoryModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return QVariant();
    static const char *const titles[] = {"到着", "状態", "内容", "差出人", "番号", "枚数", "受信時刻", "文書", "部署", "送信元", "件数", "一致箇所"};
    return section >= 0 && section < ColumnCount ? QString::fromUtf8(titles[section]) : QVariant();
}

QString HistoryModel::rowText(int row) const
{
    QStringList cells;
    for (int column = 0; column < ColumnCount; ++column)
        cells.append(data(index(row, column), Qt::DisplayRole).toString());
    return cells.join(QLatin1Char('\t'));
}

HistoryWindow::HistoryWindow(History *history, QWidget *parent)
    : QWidget(parent, Qt::Window)
    , m_history(history)
    , m_model(new HistoryModel(history, this))
    , m_view(new QTableView(this))
    , m_search(new QLineEdit(this))
    , m_department(new QComboBox(this))
    , m_show(new QComboBox(this))
    , m_status(new QLabel(this))
    , m_sharingNote(new QLabel(this))
    , m_preview(new QLabel(this))
    , m_undo(new QPushButton(QStringLiteral("元に戻す"), this))
{
    setObjectName(QStringLiteral("HistoryWindow"));
    setWindowTitle(QStringLiteral("受信履歴"));
    m_search->setObjectName(QStringLiteral("Search"));
    m_search->setPlaceholderText(QStringLiteral("差出人・番号・FAX の文面を検索。失敗・文書あり・昨日・12/07 で絞り込み（Ctrl+F）"));
    m_search->setClearButtonEnabled(true);
    // The departments, once a fax monitor has said what they are.
    m_department->setObjectName(QStringLiteral("DepartmentFilter"));
    m_department->addItem(QStringLiteral("すべての部署"), QString());
    m_department->hide();
    m_show->setObjectName(QStringLiteral("ShowFilter"));
    m_show->addItem(QStringLiteral("すべて"), int(History::Show::All));
    m_show->addItem(QStringLiteral("未対応"), int(History::Show::Open));
    m_show->addItem(QStringLiteral("自分の担当"), int(History::Show::Mine));
    m_show->addItem(QStringLiteral("失敗"), int(History::Show::Failed));
    m_sharingNote->setObjectName(QStringLiteral("SharingNote"));
    m_sharingNote->setWordWrap(true);
    m_sharingNote->setText(QStringLiteral("この PC は UDP の通知だけを受けています。だれが担当しているかをほかの席と共有するには、"
                                          "設定で MQTT ブローカーを指定してください。"));
    m_view->setObjectName(QStringLiteral("HistoryView"));
    m_view->setModel(m_model);
    m_view->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_view->setSelectionMode(QAbstractItemView::SingleSelection);
    m_view->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_view->setWordWrap(false);
    m_view->verticalHeader()->hide();
    m_view->setSortingEnabled(true);
    m_view->sortByColumn(HistoryModel::Arrived, Qt::DescendingOrder);
    QHeaderView *header = m_view->horizontalHeader();
    header->setSortIndicatorShown(true);
    header->setStretchLastSection(false);
    // The sender's name takes what room there is; what the reception was
    // needs a word (a failure says the rest in its tooltip too).
    header->setSectionResizeMode(HistoryModel::Caller, QHeaderView::Stretch);
    const QFontMetrics metrics = m_view->fontMetrics();
    header->resizeSection(HistoryModel::Arrived, metrics.horizontalAdvance(QStringLiteral("0000/00/00 00:00（受信 00/00 00:00）")) + 16);
    header->resizeSection(HistoryModel::State, metrics.horizontalAdvance(QStringLiteral("完了：山田太郎 00/00 00:00")) + 16);
    header->resizeSection(HistoryModel::What, metrics.horizontalAdvance(QStringLiteral("受信失敗：話し中")) + 16);
    header->resizeSection(HistoryModel::Number, metrics.horizontalAdvance(QStringLiteral("000-0000-0000")) + 16);
    header->resizeSection(HistoryModel::Received, metrics.horizontalAdvance(QStringLiteral("0000/00/00 00:00:00")) + 16);
    header->setMinimumSectionSize(metrics.horizontalAdvance(QStringLiteral("枚数")) + 24);
    header->resizeSection(HistoryModel::Pages, header->minimumSectionSize());
    // Who relayed it, how many copies came, and when the fax server
    // received it (the arrival says so when it was another minute): there
    // when asked for (the header's menu).
    m_view->setColumnHidden(HistoryModel::Source, true);
    m_view->setColumnHidden(HistoryModel::Copies, true);
    m_view->setColumnHidden(HistoryModel::Received, true);
    m_view->setColumnHidden(HistoryModel::Department, true);
    m_view->setColumnHidden(HistoryModel::State, true);
    // Shown while a search looks for words: why each fax matched.
    m_view->setColumnHidden(HistoryModel::Match, true);
    m_view->setItemDelegateForColumn(HistoryModel::Match, new MatchDelegate(m_view));
    header->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(header, &QHeaderView::customContextMenuRequested, this, [this, header](const QPoint &position) {
        QMenu menu(this);
        for (int column : {int(HistoryModel::Received), int(HistoryModel::Source), int(HistoryModel::Copies)}) {
            QAction *shown = menu.addAction(m_model->headerData(column, Qt::Horizontal, Qt::DisplayRole).toString());
            shown->setCheckable(true);
            shown->setChecked(!m_view->isColumnHidden(column));
            connect(shown, &QAction::toggled, this, [this, column](bool on) { m_view->setColumnHidden(column, !on); });
        }
        menu.exec(header->mapToGlobal(position));
    });
    m_view->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(m_view, &QWidget::customContextMenuRequested, this, &HistoryWindow::showMenu);
    connect(m_view, &QAbstractItemView::doubleClicked, this, &HistoryWindow::openCurrent);

    // What can be done with a fax, from the menu and by keys.
    auto action = [this](const QString &text, const QKeySequence &keys) {
        auto *made = new QAction(text, this);
        made->setShortcut(keys);
        made->setShortcutContext(Qt::WindowShortcut);
        addAction(made);
        return made;
    };
    m_take = action(QStringLiteral("担当する"), QKeySequence(Qt::CTRL | Qt::Key_T));
    m_done = action(QStringLiteral("完了にする"), QKeySequence(Qt::CTRL | Qt::Key_D));
    m_release = action(QStringLiteral("担当を外す"), QKeySequence(Qt::CTRL | Qt::Key_U));
    m_memo = action(QStringLiteral("メモ..."), QKeySequence(Qt::CTRL | Qt::Key_M));
    m_remove = action(QStringLiteral("削除"), QKeySequence::Delete);
    connect(m_take, &QAction::triggered, this, [this] { ask(FaxState::Take); });
    connect(m_done, &QAction::triggered, this, [this] { ask(FaxState::Finish); });
    connect(m_release, &QAction::triggered, this, [this] { ask(FaxState::Release); });
    connect(m_memo, &QAction::triggered, this, &HistoryWindow::askMemo);
    connect(m_remove, &QAction::triggered, this, &HistoryWindow::removeCurrent);

    // The first page of the fax chosen; a click opens the fax.
    m_preview->setObjectName(QStringLiteral("Preview"));
    m_preview->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    m_preview->setMinimumWidth(160);
    // A page's picture never sets the window's size: it is drawn to fit.
    m_preview->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Ignored);
    m_preview->setWordWrap(true);
    m_preview->setToolTip(QStringLiteral("クリックで FAX を開きます"));
    m_preview->installEventFilter(this);
    auto *splitter = new QSplitter(this);
    splitter->addWidget(m_view);
    splitter->addWidget(m_preview);
    splitter->setStretchFactor(0, 3);
    splitter->setStretchFactor(1, 1);
    connect(m_view->selectionModel(), &QItemSelectionModel::currentRowChanged, this, [this] {
        updateActions();
        showPreview();
    });
    connect(m_model, &QAbstractItemModel::modelReset, this, [this] {
        updateActions();
        showPreview();
    });

    auto *openButton = new QPushButton(QStringLiteral("開く"), this);
    openButton->setObjectName(QStringLiteral("OpenButton"));
    auto *clearButton = new QPushButton(QStringLiteral("すべて消去"), this);
    clearButton->setObjectName(QStringLiteral("ClearButton"));
    auto *closeButton = new QPushButton(QStringLiteral("閉じる"), this);
    // A removal can be undone for a while: the row goes from the table at
    // once, from the history after.
    m_undo->setObjectName(QStringLiteral("UndoButton"));
    m_undo->hide();
    m_removeLater.setSingleShot(true);
    m_removeLater.setInterval(TestDelays::value("undo", UndoTime));
    connect(&m_removeLater, &QTimer::timeout, this, &HistoryWindow::removeNow);
    connect(m_undo, &QPushButton::clicked, this, [this] {
        m_removeLater.stop();
        m_removed.clear();
        m_undo->hide();
        m_model->setHidden({});
        showCounts();
    });
    auto *buttons = new QHBoxLayout;
    buttons->addWidget(m_status, 1);
    buttons->addWidget(m_undo);
    buttons->addWidget(openButton);
    buttons->addWidget(clearButton);
    buttons->addWidget(closeButton);
    auto *searchRow = new QHBoxLayout;
    searchRow->addWidget(m_show);
    searchRow->addWidget(m_search, 1);
    searchRow->addWidget(m_department);
    auto *layout = new QVBoxLayout(this);
    layout->addLayout(searchRow);
    layout->addWidget(m_sharingNote);
    layout->addWidget(splitter, 1);
    layout->addLayout(buttons);
    resize(1100, 480);

    auto *find = new QShortcut(QKeySequence::Find, this);
    connect(find, &QShortcut::activated, this, [this] {
        m_search->setFocus();
        m_search->selectAll();
    });
    auto *escape = new QShortcut(QKeySequence(Qt::Key_Escape), this);
    connect(escape, &QShortcut::activated, this, &QWidget::close);
    connect(m_search, &QLineEdit::textChanged, this, [this](const QString &text) {
        m_model->setSearch(text);
        m_view->setColumnHidden(HistoryModel::Match, !m_model->searchesText());
        showCounts();
    });
    connect(m_department, &QComboBox::currentIndexChanged, this, [this] {
        m_model->setDepartment(m_department->currentData().toString());
        showCounts();
    });
    connect(m_show, &QComboBox::currentIndexChanged, this, [this] {
        m_model->setShow(History::Show(m_show->currentData().toInt()), m_me, m_myName);
        showCounts();
    });

    // While receptions pour in, the table is read again a few times a
    // second at most (a state another desk changed shows at once enough).
    m_refresh.setSingleShot(true);
    m_refresh.setInterval(300);
    connect(&m_refresh, &QTimer::timeout, this, [this] {
        // The row chosen stays chosen as the table is read again.
        const qint64 current = m_view->currentIndex().isValid() ? m_model->entry(m_view->currentIndex().row()).id : 0;
        m_model->refresh();
        for (int row = 0; current != 0 && row < m_model->rowCount(); ++row) {
            if (m_model->entry(row).id == current) {
                m_view->setCurrentIndex(m_model->index(row, HistoryModel::Arrived));
                break;
            }
        }
        showCounts();
    });
    connect(history, &History::changed, this, &HistoryWindow::historyChanged);
    connect(openButton, &QPushButton::clicked, this, &HistoryWindow::openCurrent);
    connect(clearButton, &QPushButton::clicked, this, &HistoryWindow::clearAll);
    connect(closeButton, &QPushButton::clicked, this, &QWidget::close);
    updateActions();
}

bool HistoryWindow::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_preview && event->type() == QEvent::MouseButtonRelease)
        openCurrent();
    if (watched == m_preview && event->type() == QEvent::Resize)
        showPreview();
    return QWidget::eventFilter(watched, event);
}

void HistoryWindow::setSharing(bool sharing, const QString &me, const QString &myName)
{
    m_sharing = sharing;
    m_me = me;
    m_myName = myName;
    m_sharingNote->setVisible(!sharing);
    m_view->setColumnHidden(HistoryModel::State, !sharing);
    if (m_show->currentData().toInt() == int(History::Show::Mine))
        m_model->setShow(History::Show::Mine, me, myName);
    updateActions();
}

void HistoryWindow::updateActions()
{
    const QModelIndex current = m_view->currentIndex();
    const History::Entry entry = current.isValid() ? m_model->entry(current.row()) : History::Entry();
    const FaxState &state = entry.state;
    const bool shared = m_sharing && entry.fax && !entry.commId.isEmpty();
    // This desk's: its broker user, and its person (several desks may share
    // one account).
    const bool mine = state.user == m_me && state.name == m_myName;
    const bool others = state.state == FaxState::Taken && !mine;
    m_take->setEnabled(shared && !mine && !others && state.state != FaxState::Done);
    // Who has it, said where it cannot be taken.
    m_take->setText(others ? QStringLiteral("担当する（%1さんが担当しています）").arg(state.who()) : QStringLiteral("担当する"));
    m_done->setEnabled(shared && !others && state.state != FaxState::Done);
    // Who made it done may take that back.
    m_release->setEnabled(shared && mine && state.state != FaxState::Open);
    m_release->setText(state.state == FaxState::Done ? QStringLiteral("未対応に戻す") : QStringLiteral("担当を外す"));
    m_memo->setEnabled(shared && state.isKnown());
    m_remove->setEnabled(current.isValid());
}

void HistoryWindow::showPreview()
{
    const QModelIndex current = m_view->currentIndex();
    const History::Entry entry = current.isValid() ? m_model->entry(current.row()) : History::Entry();
    const QString picture = entry.picture.isEmpty() ? QString() : m_history->documentFolder() + QLatin1Char('/') + entry.picture;
    // Read once for the row chosen, drawn again as the pane's size changes.
    if (picture != m_previewPicture) {
        m_previewPicture = picture;
        m_previewPixmap = QPixmap();
        m_preview->setPixmap(QPixmap());
        if (!picture.isEmpty())
            m_previewPixmap.load(picture);
    }
    if (!m_previewPixmap.isNull()) {
        // Drawn anew only for another size.
        const QSize room(qMax(64, m_preview->width() - 8), qMax(64, m_preview->height() - 8));
        if (m_preview->pixmap().isNull() || m_previewSize != room)
            m_preview->setPixmap(m_previewPixmap.scaled(room, Qt::KeepAspectRatio, Qt::SmoothTransformation));
        m_previewSize = room;
        return;
    }
    m_preview->setPixmap(QPixmap());
    m_preview->setText(!current.isValid() ? QString()
                           : entry.document.isEmpty() ? QStringLiteral("この受信の FAX の画像はありません。")
                                                      : QStringLiteral("クリックで FAX を開きます。"));
}

void HistoryWindow::ask(FaxState::Action action)
{
    const QModelIndex current = m_view->currentIndex();
    if (!current.isValid())
        return;
    Q_EMIT stateRequested(m_model->entry(current.row()).id, action, QString());
}

void HistoryWindow::askMemo()
{
    const QModelIndex current = m_view->currentIndex();
    if (!current.isValid())
        return;
    const History::Entry entry = m_model->entry(current.row());
    QString memo = entry.state.memo;
    if (!Seams::askText(this, QStringLiteral("この FAX のメモ（%1 文字まで）：").arg(FaxState::MaxMemoLength), &memo))
        return;
    Q_EMIT stateRequested(entry.id, FaxState::Memo, memo.left(FaxState::MaxMemoLength));
}

void HistoryWindow::removeCurrent()
{
    const QModelIndex current = m_view->currentIndex();
    if (!current.isValid())
        return;
    const History::Entry entry = m_model->entry(current.row());
    if (!Seams::confirm(this, QStringLiteral("この受信（%1 %2）を履歴から削除します。よろしいですか？")
                                  .arg(when(entry), entry.caller.isEmpty() ? entry.text.left(40) : entry.caller)))
        return;
    m_removed.append(entry.id);
    m_model->setHidden(m_removed);
    m_undo->show();
    m_removeLater.start();
    showCounts();
}

void HistoryWindow::removeNow()
{
    m_removeLater.stop();
    m_undo->hide();
    if (m_removed.isEmpty())
        return;
    for (const qint64 id : std::exchange(m_removed, {}))
        m_history->remove(id);
    m_model->setHidden({});
    showCounts();
}

HistoryWindow::~HistoryWindow()
{
    removeNow();
}

void HistoryWindow::closeEvent(QCloseEvent *event)
{
    removeNow();
    QWidget::closeEvent(event);
}

void HistoryWindow::present()
{
    m_model->refresh(true);
    showCounts();
    show();
    setWindowState(windowState() & ~Qt::WindowMinimized);
    raise();
    activateWindow();
    // Marked read once the window is up: on a long history that is the
    // slower part, and the window need not wait for it.
    QTimer::singleShot(0, m_history, &History::markAllRead);
}

void HistoryWindow::setDepartmentNames(const QHash<QString, QString> &names)
{
    m_model->setDepartmentNames(names);
    const QString chosen = m_department->currentData().toString();
    const QSignalBlocker quiet(m_department);
    while (m_department->count() > 1)
        m_department->removeItem(1);
    QList<QPair<QString, QString>> byName;
    for (auto it = names.cbegin(); it != names.cend(); ++it)
        byName.append({it.value(), it.key()});
    std::sort(byName.begin(), byName.end());
    for (const auto &department : std::as_const(byName))
        m_department->addItem(department.first, department.second);
    m_department->setCurrentIndex(qMax(0, m_department->findData(chosen)));
    m_department->setVisible(!names.isEmpty());
    m_view->setColumnHidden(HistoryModel::Department, names.isEmpty());
}

void HistoryWindow::historyChanged()
{
    if (isVisible() && !m_refresh.isActive())
        m_refresh.start();
}

void HistoryWindow::openCurrent()
{
    const QModelIndex current = m_view->currentIndex();
    if (!current.isValid())
        return;
    // Where a search found it, at that page.
    const HistorySearch::Match match = m_model->match(current.row());
    if (match.page > 1)
        Q_EMIT openAtPageRequested(m_model->entry(current.row()).id, match.page);
    else
        Q_EMIT openRequested(m_model->entry(current.row()).id);
}

void HistoryWindow::showMenu(const QPoint &position)
{
    const QModelIndex index = m_view->indexAt(position);
    if (!index.isValid())
        return;
    m_view->setCurrentIndex(index);
    const History::Entry entry = m_model->entry(index.row());
    QMenu menu(this);
    QAction *open = menu.addAction(QStringLiteral("開く"), this, &HistoryWindow::openCurrent);
    open->setEnabled(!entry.document.isEmpty());
    if (m_sharing && entry.fax) {
        menu.addSeparator();
        menu.addActions({m_take, m_done, m_release, m_memo});
    }
    menu.addSeparator();
    menu.addAction(QStringLiteral("行をコピー"), this, [this, index] {
        QApplication::clipboard()->setText(m_model->rowText(index.row()));
    });
    menu.addAction(QStringLiteral("未読にする"), this, [this, entry] { m_history->markUnread(entry.id); });
    menu.addSeparator();
    menu.addAction(m_remove);
    menu.exec(m_view->viewport()->mapToGlobal(position));
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

#include "receiver/ui/presence.h"

#include "gui/seams.h"

#include <QEvent>
#include <QHBoxLayout>
#include <QImageReader>
#include <QLabel>
#include <QMenu>
#include <QPainter>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <QVBoxLayout>

namespace {

// The program's icon with the number of faxes nobody has taken on a red badge.
QIcon unreadIcon(int unread)
{
    QPixmap pixmap = receiverIcon().pixmap(32, 32);
    if (unread <= 0)
        return QIcon(pixmap);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRect badge(14, 0, 18, 14);
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(220, 30, 30));
    painter.drawRoundedRect(badge, 7, 7);
    QFont font = painter.font();
    font.setPixelSize(11);
    font.setBold(true);
    painter.setFont(font);
    painter.setPen(Qt::white);
    painter.drawText(badge, Qt::AlignCenter, unread > 99 ? QStringLiteral("99+") : QString::number(unread));
    return QIcon(pixmap);
}

} // namespace

QIcon receiverIcon()
{
    // The resources live in a static library, whose initialiser the linker
    // would otherwise leave out. Read once: the tray's icon is drawn again at
    // every reception.
    static const QIcon icon = [] {
        Q_INIT_RESOURCE(resources);
        QImageReader reader(QStringLiteral(":/kavrel-r/kavrel-r.png"), "png");
        return QIcon(QPixmap::fromImageReader(&reader));
    }();
    return icon;
}

const QString Presence::ProgramTitle = QStringLiteral("受信通知クライアント");

Presence::Presence(QObject *parent)
    : QObject(parent)
{
}

Presence::~Presence()
{
    delete m_window;
    delete m_menu;
}

void Presence::show()
{
    m_menu = new QMenu;
    m_latestEnd = m_menu->addSeparator();
    m_latestEnd->setVisible(false);
    m_menu->addAction(QStringLiteral("最新のFAXを開く"), this, &Presence::latestRequested);
    m_menu->addAction(QStringLiteral("受信履歴"), this, &Presence::historyRequested);
    m_menu->addAction(QStringLiteral("すべて既読にする"), this, &Presence::allReadRequested);
    m_menu->addAction(QStringLiteral("設定"), this, &Presence::settingsRequested);
    m_menu->addSeparator();
    m_menu->addAction(QStringLiteral("終了"), this, &Presence::askToQuit);

    if (QSystemTrayIcon::isSystemTrayAvailable()) {
        m_tray = new QSystemTrayIcon(receiverIcon(), this);
        m_tray->setContextMenu(m_menu);
        connect(m_tray, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
            if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick)
                Q_EMIT historyRequested();
        });
        m_tray->show();
    } else {
        // No tray on this desktop: a small window in the taskbar instead.
        m_window = new QWidget(nullptr, Qt::Window);
        m_window->setObjectName(QStringLiteral("ReceiverWindow"));
        m_window->setWindowIcon(receiverIcon());
        m_unreadLabel = new QLabel(m_window);
        // What the tray's menu has, as buttons.
        auto *latestButton = new QPushButton(QStringLiteral("最新のFAXを開く"), m_window);
        latestButton->setObjectName(QStringLiteral("LatestButton"));
        auto *historyButton = new QPushButton(QStringLiteral("受信履歴"), m_window);
        historyButton->setObjectName(QStringLiteral("HistoryButton"));
        auto *allReadButton = new QPushButton(QStringLiteral("すべて既読にする"), m_window);
        allReadButton->setObjectName(QStringLiteral("AllReadButton"));
        auto *settingsButton = new QPushButton(QStringLiteral("設定"), m_window);
        settingsButton->setObjectName(QStringLiteral("SettingsButton"));
        auto *quitButton = new QPushButton(QStringLiteral("終了"), m_window);
        quitButton->setObjectName(QStringLiteral("QuitButton"));
        auto *faxes = new QHBoxLayout;
        faxes->addWidget(latestButton);
        faxes->addWidget(historyButton);
        faxes->addWidget(allReadButton);
        auto *program = new QHBoxLayout;
        program->addStretch(1);
        program->addWidget(settingsButton);
        program->addWidget(quitButton);
        auto *layout = new QVBoxLayout(m_window);
        layout->addWidget(m_unreadLabel);
        layout->addLayout(faxes);
        layout->addLayout(program);
        connect(latestButton, &QPushButton::clicked, this, &Presence::latestRequested);
        connect(historyButton, &QPushButton::clicked, this, &Presence::historyRequested);
        connect(allReadButton, &QPushButton::clicked, this, &Presence::allReadRequested);
        connect(settingsButton, &QPushButton::clicked, this, &Presence::settingsRequested);
        connect(quitButton, &QPushButton::clicked, this, &Presence::askToQuit);
        // Closing the window would leave no way back to the history: it
        // goes to the taskbar instead (終了 ends the program).
        m_window->installEventFilter(this);
        m_window->showMinimized();
    }
    update();
}

void Presence::askToQuit()
{
    // Ended, it shows no notice of what comes: asked first.
    if (Seams::confirm(m_window, QStringLiteral("受信通知クライアントを終了しますか？\r\n"
                                                "終了すると、届いたFAXの通知が表示されなくなります。")))
        Q_EMIT quitRequested();
}

void Presence::setOpenFaxes(int open)
{
    if (std::exchange(m_open, open) != open)
        update();
}

void Presence::setLatest(const QList<Latest> &latest)
{
    if (!m_menu)
        return;
    qDeleteAll(std::exchange(m_latest, {}));
    for (const Latest &fax : latest.mid(0, LatestShown)) {
        auto *action = new QAction(fax.text, m_menu);
        const qint64 entry = fax.entry;
        connect(action, &QAction::triggered, this, [this, entry] { Q_EMIT faxRequested(entry); });
        m_menu->insertAction(m_latestEnd, action);
        m_latest.append(action);
    }
    m_latestEnd->setVisible(!m_latest.isEmpty());
}

void Presence::setBrokerState(const QString &state)
{
    if (std::exchange(m_brokerState, state) != state)
        update();
}

bool Presence::eventFilter(QObject *watched, QEvent *event)
{
    // The user's close box, not the program ending.
    if (watched == m_window && event->type() == QEvent::Close && event->spontaneous()) {
        event->ignore();
        m_window->showMinimized();
        return true;
    }
    return QObject::eventFilter(watched, event);
}

void Presence::update()
{
    const QString title = m_open > 0 ? QStringLiteral("%1（未対応 %2 件）").arg(ProgramTitle).arg(m_open) : ProgramTitle;
    if (m_tray) {
        m_tray->setIcon(unreadIcon(m_open));
        m_tray->setToolTip(m_brokerState.isEmpty() ? title : title + QLatin1Char('\n') + m_brokerState);
    }
    if (m_window) {
        m_window->setWindowTitle(title);
        m_window->setWindowIcon(unreadIcon(m_open));
        m_unreadLabel->setText((m_open > 0 ? QStringLiteral("未対応の FAX が %1 件あります。").arg(m_open)
                                           : QStringLiteral("未対応の FAX はありません。"))
                               + (m_brokerState.isEmpty() ? QString() : QLatin1Char('\n') + m_brokerState));
    }
}

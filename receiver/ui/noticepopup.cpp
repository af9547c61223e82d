#include "receiver/ui/noticepopup.h"

#include <QGuiApplication>
#include <QMouseEvent>
#include <QScreen>
#include <QVBoxLayout>

NoticePopup::NoticePopup(QWidget *parent)
    : QWidget(parent, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint)
    , m_summary(new QLabel(this))
    , m_body(new QLabel(this))
{
    setObjectName(QStringLiteral("NoticePopup"));
    setWindowTitle(QStringLiteral("受信通知"));
    setAttribute(Qt::WA_ShowWithoutActivating);
    QFont bold = m_summary->font();
    bold.setBold(true);
    m_summary->setFont(bold);
    m_body->setTextFormat(Qt::PlainText);
    m_summary->setTextFormat(Qt::PlainText);
    // Long texts wrap within a width a notice has, rather than make a window
    // wider than the screen.
    m_body->setWordWrap(true);
    m_summary->setWordWrap(true);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(m_summary);
    layout->addWidget(m_body);
    setStyleSheet(QStringLiteral("NoticePopup { background: #ffffc0; border: 1px solid #808080; }"));
    m_hide.setSingleShot(true);
    connect(&m_hide, &QTimer::timeout, this, &QWidget::hide);
}

void NoticePopup::present(const QString &summary, const QString &body, bool stayUntilClicked)
{
    m_summary->setText(summary);
    m_body->setText(body);
    const QScreen *screen = QGuiApplication::primaryScreen();
    const QRect area = screen ? screen->availableGeometry() : QRect(0, 0, 1024, 768);
    const int width = qMin(MaxWidth, area.width() - 32);
    setFixedWidth(width);
    setMaximumHeight(area.height() - 32);
    adjustSize();
    move(qMax(area.left(), area.right() - this->width() - 16), area.top() + 16);
    show();
    raise();
    if (stayUntilClicked)
        m_hide.stop();
    else
        m_hide.start(ShowTime);
}

void NoticePopup::mousePressEvent(QMouseEvent *event)
{
    event->accept();
    hide();
    Q_EMIT clicked();
}

#include "receiver/ui/noticepopup.h"

#include <QGuiApplication>
#include <QHBoxLayout>
#include <QImageReader>
#include <QMouseEvent>
#include <QPushButton>
#include <QScreen>
#include <QVBoxLayout>

NoticePopup::NoticePopup(QWidget *parent)
    : QWidget(parent, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint)
    , m_summary(new QLabel(this))
    , m_body(new QLabel(this))
    , m_picture(new QLabel(this))
    , m_open(new QPushButton(QStringLiteral("開く"), this))
    , m_take(new QPushButton(QStringLiteral("担当する"), this))
{
    setObjectName(QStringLiteral("NoticePopup"));
    setWindowTitle(QStringLiteral("受信通知"));
    setAttribute(Qt::WA_ShowWithoutActivating);
    // A widget of its own draws its style sheet's background and border
    // only when asked to (a failed reception's red border).
    setAttribute(Qt::WA_StyledBackground);
    QFont bold = m_summary->font();
    bold.setBold(true);
    m_summary->setFont(bold);
    m_body->setObjectName(QStringLiteral("Body"));
    m_body->setTextFormat(Qt::PlainText);
    m_summary->setTextFormat(Qt::PlainText);
    // Long texts wrap within a width a notice has, rather than make a window
    // wider than the screen.
    m_body->setWordWrap(true);
    m_body->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    m_summary->setWordWrap(true);
    m_picture->setObjectName(QStringLiteral("Picture"));
    m_picture->hide();
    m_open->setObjectName(QStringLiteral("OpenButton"));
    m_open->hide();
    m_take->setObjectName(QStringLiteral("TakeButton"));
    m_take->hide();
    auto *close = new QPushButton(QStringLiteral("×"), this);
    close->setObjectName(QStringLiteral("CloseButton"));
    close->setFlat(true);
    close->setToolTip(QStringLiteral("閉じる"));
    close->setFixedWidth(close->sizeHint().height());
    auto *head = new QHBoxLayout;
    head->addWidget(m_summary, 1);
    head->addWidget(close, 0, Qt::AlignTop);
    // The first page beside the text, as a notice's image is.
    m_picture->setFrameShape(QFrame::Box);
    auto *content = new QHBoxLayout;
    content->addWidget(m_picture, 0, Qt::AlignTop);
    content->addWidget(m_body, 1);
    auto *layout = new QVBoxLayout(this);
    layout->addLayout(head);
    layout->addLayout(content);
    auto *buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(m_take);
    buttons->addWidget(m_open);
    layout->addLayout(buttons);
    m_hide.setSingleShot(true);
    connect(&m_hide, &QTimer::timeout, this, &QWidget::hide);
    connect(close, &QPushButton::clicked, this, &QWidget::hide);
    connect(m_open, &QPushButton::clicked, this, [this] {
        hide();
        Q_EMIT openClicked();
    });
    connect(m_take, &QPushButton::clicked, this, [this] {
        hide();
        Q_EMIT takeClicked();
    });
}

void NoticePopup::present(const QString &summary, const QString &body, bool stayUntilClicked, bool failed, bool takeable)
{
    m_take->setVisible(takeable);
    m_summary->setText(summary);
    m_body->setText(body);
    // A reception that failed stands out.
    setStyleSheet(failed ? QStringLiteral("NoticePopup { background: #ffe0e0; border: 2px solid #c00000; }")
                         : QStringLiteral("NoticePopup { background: #ffffc0; border: 1px solid #808080; }"));
    m_picture->hide();
    m_open->hide();
    place();
    show();
    raise();
    if (stayUntilClicked)
        m_hide.stop();
    else
        m_hide.start(ShowTime);
}

void NoticePopup::attach(const QString &picture, bool document)
{
    QPixmap page;
    if (!picture.isEmpty()) {
        QImageReader reader(picture, "png");
        page = QPixmap::fromImageReader(&reader);
    }
    if (!page.isNull())
        page = page.scaled(PictureSize, PictureSize * 3 / 2, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    m_picture->setPixmap(page);
    m_picture->setVisible(!page.isNull());
    m_open->setVisible(document);
    if (isVisible())
        place();
}

void NoticePopup::place()
{
    const QScreen *screen = QGuiApplication::primaryScreen();
    const QRect area = screen ? screen->availableGeometry() : QRect(0, 0, 1024, 768);
    setFixedWidth(qMin(MaxWidth, area.width() - 32));
    setMaximumHeight(area.height() - 32);
    // As tall as its wrapped text needs at this width (a size hint alone
    // takes the text as one line, and cuts off a failure's message).
    layout()->activate();
    const int height = layout()->hasHeightForWidth() ? layout()->totalHeightForWidth(width()) : sizeHint().height();
    resize(width(), qMin(height, area.height() - 32));
    move(qMax(area.left(), area.right() - width() - 16), area.top() + 16);
}

void NoticePopup::mousePressEvent(QMouseEvent *event)
{
    event->accept();
    hide();
    Q_EMIT clicked();
}

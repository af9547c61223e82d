#include "ui/form1.h"

#include "components/datagramsender.h"
#include "components/faxlink.h"
#include "server/notificationserver.h"
#include "ui/twips.h"

#include <QPushButton>

namespace {

QPushButton *makeButton(QWidget *parent, const char *name, const QString &text, const QRect &geometry)
{
    auto *button = new QPushButton(text, parent);
    button->setObjectName(QLatin1String(name));
    button->setGeometry(geometry);
    return button;
}

} // namespace

Form1::Form1(FaxLink *faxLink, DatagramSender *sender, QWidget *parent)
    : QWidget(parent)
    , m_faxLink(faxLink)
    , m_sender(sender)
    , m_server(new NotificationServer(this, faxLink, sender, this))
{
    setObjectName(QStringLiteral("Form1"));
    m_faxLink->setParent(this);
    m_faxLink->setObjectName(QStringLiteral("FaxLink1"));
    m_sender->setParent(this);
    m_sender->setObjectName(QStringLiteral("Winsock1"));

    setWindowTitle(QStringLiteral("受信通知サーバ"));
    setFixedSize(twipsToPixels(5625), twipsToPixels(2835));

    auto *settingsButton = makeButton(this, "Command1", QStringLiteral("設定"), twipsRect(2880, 2040, 855, 375));
    auto *quitButton = makeButton(this, "Command2", QStringLiteral("終了"), twipsRect(4080, 2040, 855, 375));
    auto *testButton = makeButton(this, "Command3", QStringLiteral("通知ﾃｽﾄ"), twipsRect(1560, 2040, 975, 375));
    Q_UNUSED(settingsButton);
    Q_UNUSED(testButton);

    connect(m_faxLink, &FaxLink::FaxReceived, m_server, &NotificationServer::relay);
    connect(quitButton, &QPushButton::clicked, m_server, &NotificationServer::quit);
}

Form1::~Form1()
{
    m_server->shutDown();
}

void Form1::startUp()
{
    m_server->startUp();
}

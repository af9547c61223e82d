#include "ui/form1.h"

#include "components/datagramsender.h"
#include "components/faxlink.h"
#include "server/notificationserver.h"
#include "gui/seams.h"
#include "ui/appearance.h"
#include "ui/dialog_s.h"
#include "ui/twips.h"

#include <QLabel>
#include <QPushButton>

namespace {

const QColor BackColor = colorFromBgr(0x00FFFFC0);      // light cyan
const QColor HighlightColor = colorFromBgr(0x0080FFFF); // light yellow
const QColor ShadowColor = colorFromBgr(0x00000000);    // black

QLabel *makeLabel(QWidget *parent, const char *name, const QString &text, const QRect &geometry)
{
    auto *label = makeControl<QLabel>(parent, name, text, geometry);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    return label;
}

// One line of the title drawn twice: a black copy on an opaque background of
// the window's colour, and above it a light-yellow copy on a transparent
// background, 60 twips up and to the left, so that the black one shows as
// a shadow towards the lower right.
void makeShadowedLine(QWidget *parent, const char *shadowName, const char *lightName, const QString &text,
                      const QRect &shadowGeometry, const QRect &lightGeometry, const QColor &shadowColor)
{
    const QFont font = titleFont();

    QLabel *shadow = makeLabel(parent, shadowName, text, shadowGeometry);
    shadow->setFont(font);
    QPalette shadowPalette = shadow->palette();
    if (shadowColor.isValid())
        shadowPalette.setColor(QPalette::WindowText, shadowColor);
    shadowPalette.setColor(QPalette::Window, BackColor);
    shadow->setPalette(shadowPalette);
    shadow->setAutoFillBackground(true);

    QLabel *light = makeLabel(parent, lightName, text, lightGeometry);
    light->setFont(font);
    QPalette lightPalette = light->palette();
    lightPalette.setColor(QPalette::WindowText, HighlightColor);
    light->setPalette(lightPalette);
    light->setAutoFillBackground(false);
    light->raise();
}

} // namespace

Form1::Form1(FaxLink *faxLink, DatagramSender *sender, QWidget *parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint
                          | Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint)
    , m_server(new NotificationServer(this, faxLink, sender, this))
{
    setObjectName(QStringLiteral("Form1"));
    faxLink->setParent(this);
    faxLink->setObjectName(QStringLiteral("FaxLink1"));
    sender->setParent(this);
    sender->setObjectName(QStringLiteral("Winsock1"));

    setWindowTitle(QStringLiteral("受信通知サーバ"));
    setWindowIcon(programIcon());
    setFixedSize(twipsToPixels(5625), twipsToPixels(2835));
    QPalette windowPalette = palette();
    windowPalette.setColor(QPalette::Window, BackColor);
    setPalette(windowPalette);
    setAutoFillBackground(true);

    const QString title = QStringLiteral("受信通知サーバ");
    const QString subtitle = QStringLiteral("for Orvex");
    makeShadowedLine(this, "Label2", "Label4", title, twipsRect(180, 480, 3615, 615),
                     twipsRect(120, 420, 3375, 615), QColor());
    makeShadowedLine(this, "Label1", "Label3", subtitle, twipsRect(240, 1200, 5295, 615),
                     twipsRect(180, 1140, 5295, 615), ShadowColor);

    // Pixels between the owner's line and the window's right edge.
    constexpr int NoticeGap = 6;
    QLabel *notice = makeLabel(this, "Label5", QStringLiteral("Copyright (C) Kavrel"), twipsRect(960, 2520, 4695, 255));
    notice->setAlignment(Qt::AlignRight | Qt::AlignTop);
    // The label reaches two pixels past the window's right edge; keep its
    // right-aligned text inside the window, clear of the edge.
    notice->setContentsMargins(0, 0, notice->geometry().right() - (width() - 1) + NoticeGap, 0);

    auto *settingsButton = makeControl<QPushButton>(this, "Command1", QStringLiteral("設定"), twipsRect(2880, 2040, 855, 375));
    auto *quitButton = makeControl<QPushButton>(this, "Command2", QStringLiteral("終了"), twipsRect(4080, 2040, 855, 375));
    auto *testButton = makeControl<QPushButton>(this, "Command3", QStringLiteral("通知ﾃｽﾄ"), twipsRect(1560, 2040, 975, 375));
    // Enter presses the focused button, as Space does (outside a dialog a
    // button takes Enter only when it is an auto-default one).
    for (QPushButton *button : {settingsButton, quitButton, testButton})
        button->setAutoDefault(true);
    setTabOrder(settingsButton, quitButton);
    setTabOrder(quitButton, testButton);
    settingsButton->setFocus();

    connect(faxLink, &FaxLink::FaxReceived, m_server, &NotificationServer::relay);
    // Its state, where the layout has no room for it: over the whole window.
    const auto showState = [this] { setToolTip(m_server->stateText()); };
    connect(m_server, &NotificationServer::stateChanged, this, showState);
    showState();
    connect(settingsButton, &QPushButton::clicked, this, &Form1::openSettings);
    connect(quitButton, &QPushButton::clicked, m_server, &NotificationServer::quit);
    connect(testButton, &QPushButton::clicked, m_server, &NotificationServer::testNotification);
    // Queued: the report's modal box then opens once the sender has finished
    // whatever it was doing when it noticed the error.
    connect(sender, &DatagramSender::error, m_server, &NotificationServer::reportError, Qt::QueuedConnection);
}

Form1::~Form1()
{
    m_server->shutDown();
}

void Form1::openSettings()
{
    {
        // Made afresh for each opening, so cancelled edits are not shown again.
        Dialog_S dialog(this);
        dialog.setCheck([this](const QString &address, const QString &port, QString *error) {
            return m_server->checkDestination(address, port, error);
        });
        if (!dialog.readFailure().isEmpty())
            Seams::showMessage(this, Dialog_S::ReadFailedMessage + QStringLiteral("\r\n") + dialog.readFailure());
        dialog.exec();
    }
    // However the dialog ended.
    m_server->applySettings();
}

void Form1::startUp()
{
    m_server->startUp();
}

void Form1::bringToFront()
{
    m_server->bringToFront();
}

#include "ui/dialog_s.h"

#include "server/notificationserver.h"
#include "gui/seams.h"
#include "ui/appearance.h"
#include "ui/twips.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include <limits>

namespace {

QLabel *makeLabel(QWidget *parent, const char *name, const QString &text, const QRect &geometry,
                  Qt::Alignment alignment = Qt::AlignLeft)
{
    auto *label = makeControl<QLabel>(parent, name, text, geometry);
    label->setAlignment(alignment | Qt::AlignTop);
    return label;
}

// Single line, and no limit on the length.
QLineEdit *makeTextBox(QWidget *parent, const char *name, const QString &text, const QRect &geometry)
{
    auto *box = makeControl<QLineEdit>(parent, name, text, geometry);
    box->setMaxLength(std::numeric_limits<int>::max());
    return box;
}

} // namespace

const QString Dialog_S::SaveFailedMessage = QStringLiteral("設定を保存できませんでした。");
const QString Dialog_S::ReadFailedMessage =
    QStringLiteral("保存されている設定を読めませんでした。既定の値を表示します。");

Dialog_S::Dialog_S(QWidget *parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint
                          | Qt::WindowCloseButtonHint)
{
    setObjectName(QStringLiteral("Dialog_S"));
    setWindowTitle(QStringLiteral("設定"));
    setWindowIcon(programIcon());
    setModal(true);
    // The client area at its place on the screen, fixed in size.
    setGeometry(twipsRect(2760, 3750, 6030, 2250));
    setFixedSize(size());

    auto *okButton = makeControl<QPushButton>(this, "OKButton", QStringLiteral("OK"), twipsRect(4680, 120, 1215, 375));
    auto *cancelButton = makeControl<QPushButton>(this, "CancelButton", QStringLiteral("ｷｬﾝｾﾙ"), twipsRect(4680, 600, 1215, 375));
    m_address = makeTextBox(this, "Text1", m_store.read(SettingsStore::IPAddressKey, SettingsStore::DefaultIPAddress, &m_readFailure),
                            twipsRect(1680, 240, 2175, 375));
    m_port = makeTextBox(this, "Text2", m_store.read(SettingsStore::PortKey, SettingsStore::DefaultPort, &m_readFailure),
                         twipsRect(1680, 960, 2175, 375));
    makeLabel(this, "Label1", QStringLiteral("ＩＰアドレス："), twipsRect(240, 360, 1335, 255), Qt::AlignRight)
        ->setBuddy(m_address);
    makeLabel(this, "Label2", QStringLiteral("ポート番号："), twipsRect(240, 1080, 1335, 255), Qt::AlignRight)
        ->setBuddy(m_port);
    makeLabel(this, "Label3", QStringLiteral("ＩＰアドレスには、ブロードキャストアドレスを指定できます。"),
              twipsRect(480, 1680, 5175, 255));
    makeLabel(this, "Label4", QStringLiteral("(例：192.168.1.255）"), twipsRect(480, 1920, 3135, 375));

    setTabOrder(okButton, cancelButton);
    setTabOrder(cancelButton, m_address);
    setTabOrder(m_address, m_port);
    // OK is the default button: Enter presses it from the text boxes and from
    // OK itself. A focused ｷｬﾝｾﾙ takes Enter for itself and cancels, as
    // buttons in dialogs do. Escape cancels.
    okButton->setDefault(true);
    okButton->setFocus();

    connect(okButton, &QPushButton::clicked, this, &Dialog_S::accept);
    connect(cancelButton, &QPushButton::clicked, this, &Dialog_S::reject);
}

void Dialog_S::accept()
{
    // Only what can be used is stored: a port of letters would leave every
    // later start without a destination.
    QString error;
    if (m_check && !m_check(m_address->text(), m_port->text(), &error)) {
        Seams::showMessage(this, NotificationServer::ApplyFailedMessage + QStringLiteral("\r\n") + error);
        return;
    }
    // Both texts as one change: a failure leaves neither half stored.
    if (!m_store.write({{SettingsStore::IPAddressKey, m_address->text()}, {SettingsStore::PortKey, m_port->text()}},
                       &error)) {
        Seams::showMessage(this, SaveFailedMessage + QStringLiteral("\r\n") + error);
        return;
    }
    QDialog::accept();
}

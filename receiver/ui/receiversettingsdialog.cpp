#include "receiver/ui/receiversettingsdialog.h"

#include "gui/seams.h"
#include "receiver/autostart.h"

#include "mqtt/mqttclient.h"
#include "receiver/logging.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QHBoxLayout>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>

ReceiverSettingsDialog::ReceiverSettingsDialog(const ReceiverSettings &settings, Apply apply, QWidget *parent)
    : QDialog(parent)
    , m_original(settings)
    , m_apply(std::move(apply))
    , m_port(new QSpinBox(this))
    , m_senders(new QPlainTextEdit(this))
    , m_stay(new QCheckBox(QStringLiteral("クリックするまで通知を表示しておく"), this))
    , m_sound(new QCheckBox(QStringLiteral("通知のときに音を鳴らす"), this))
    , m_broker(new QLineEdit(settings.broker, this))
    , m_topic(new QLineEdit(settings.topic, this))
    , m_caFile(new QLineEdit(settings.caFile, this))
    , m_user(new QLineEdit(settings.user, this))
    , m_displayName(new QLineEdit(settings.displayName, this))
    , m_password(new QLineEdit(settings.password, this))
    , m_passwordNote(new QLabel(this))
    , m_documents(new QCheckBox(QStringLiteral("受信したFAXの文書（PDF）も受け取り、通知から開けるようにする"), this))
    , m_departments(new QListWidget(this))
    , m_startAtLogin(new QCheckBox(QStringLiteral("ログインしたときに起動する"), this))
    , m_testBroker(new QPushButton(QStringLiteral("接続テスト"), this))
    , m_testResult(new QLabel(this))
{
    setObjectName(QStringLiteral("ReceiverSettingsDialog"));
    setWindowTitle(QStringLiteral("設定"));
    m_port->setObjectName(QStringLiteral("Port"));
    m_port->setRange(1, 65535);
    m_port->setValue(settings.port);
    m_senders->setObjectName(QStringLiteral("AllowedSenders"));
    m_senders->setPlainText(settings.allowedSenders.join(QLatin1Char('\n')));
    m_senders->setTabChangesFocus(true);
    m_stay->setObjectName(QStringLiteral("StayUntilClicked"));
    m_stay->setChecked(settings.stayUntilClicked);
    m_sound->setObjectName(QStringLiteral("Sound"));
    m_sound->setChecked(settings.sound);

    m_documents->setObjectName(QStringLiteral("Documents"));
    m_documents->setChecked(settings.documents);
    // The departments whose faxes come here; none checked is all of them.
    m_departments->setObjectName(QStringLiteral("Departments"));
    m_departments->setMaximumHeight(m_departments->fontMetrics().height() * 5);
    setDepartmentNames({});
    m_startAtLogin->setObjectName(QStringLiteral("StartAtLogin"));
    m_startAtLogin->setChecked(Autostart::enabled());

    // What comes by UDP, how notices show, and what comes through a broker.
    auto *udp = new QFormLayout;
    udp->addRow(QStringLiteral("ポート番号："), m_port);
    udp->addRow(QStringLiteral("受け付ける送信元："), m_senders);
    udp->addRow(QString(), new QLabel(QStringLiteral("アドレスかサブネット（例：192.168.1.0/24）を１行に１つ。\n"
                                                     "空のときは、どこからでも受け付けます。"),
                                      this));
    auto *udpGroup = new QGroupBox(QStringLiteral("UDP で受信"), this);
    udpGroup->setLayout(udp);
    auto *notices = new QVBoxLayout;
    notices->addWidget(m_stay);
    notices->addWidget(m_sound);
    notices->addWidget(m_startAtLogin);
    auto *noticeGroup = new QGroupBox(QStringLiteral("通知と起動"), this);
    noticeGroup->setLayout(notices);
    m_broker->setObjectName(QStringLiteral("Broker"));
    m_broker->setPlaceholderText(QStringLiteral("mqtt://broker.example:1883（使わないときは空）"));
    m_topic->setObjectName(QStringLiteral("Topic"));
    m_topic->setPlaceholderText(QStringLiteral("kavrel/fax"));
    m_topic->setToolTip(QStringLiteral("FAX モニターが受信を送るトピックの接頭辞（既定は kavrel/fax）"));
    m_caFile->setObjectName(QStringLiteral("CAFile"));
    auto *chooseCa = new QPushButton(QStringLiteral("参照…"), this);
    chooseCa->setObjectName(QStringLiteral("ChooseCAFile"));
    auto *caRow = new QHBoxLayout;
    caRow->addWidget(m_caFile, 1);
    caRow->addWidget(chooseCa);
    connect(chooseCa, &QPushButton::clicked, this, [this] {
        const QString chosen = Seams::chooseFile(this, QStringLiteral("CA ファイル"), m_caFile->text(),
                                                 QStringLiteral("証明書 (*.pem *.crt);;すべてのファイル (*)"));
        if (!chosen.isEmpty())
            m_caFile->setText(chosen);
    });
    m_testBroker->setObjectName(QStringLiteral("TestBroker"));
    m_testResult->setObjectName(QStringLiteral("TestResult"));
    m_testResult->setWordWrap(true);
    connect(m_testBroker, &QPushButton::clicked, this, &ReceiverSettingsDialog::testBroker);
    m_user->setObjectName(QStringLiteral("User"));
    m_displayName->setObjectName(QStringLiteral("DisplayName"));
    m_displayName->setMaxLength(ReceiverSettings::MaxNameLength);
    m_displayName->setPlaceholderText(QStringLiteral("担当者として表示する名前"));
    m_password->setObjectName(QStringLiteral("Password"));
    m_password->setEchoMode(QLineEdit::Password);
    auto *mqtt = new QFormLayout;
    mqtt->addRow(QStringLiteral("ブローカー："), m_broker);
    mqtt->addRow(QStringLiteral("トピックの接頭辞："), m_topic);
    mqtt->addRow(QStringLiteral("CA ファイル："), caRow);
    mqtt->addRow(QStringLiteral("ユーザー名："), m_user);
    mqtt->addRow(QStringLiteral("パスワード："), m_password);
    m_passwordNote->setObjectName(QStringLiteral("PasswordNote"));
    mqtt->addRow(QString(), m_passwordNote);
    mqtt->addRow(QString(), m_documents);
    mqtt->addRow(QStringLiteral("氏名："), m_displayName);
    mqtt->addRow(QStringLiteral("部署："), m_departments);
    mqtt->addRow(QString(), new QLabel(QStringLiteral("受け取る部署の FAX に印を付けます。付けなければ、すべての部署の FAX を受け取ります。"),
                                       this));
    auto *testRow = new QHBoxLayout;
    testRow->addWidget(m_testBroker);
    testRow->addWidget(m_testResult, 1);
    mqtt->addRow(QString(), testRow);
    auto *mqttGroup = new QGroupBox(QStringLiteral("MQTT ブローカーから受信"), this);
    mqttGroup->setLayout(mqtt);
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    buttons->button(QDialogButtonBox::Cancel)->setText(QStringLiteral("キャンセル"));
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(udpGroup);
    layout->addWidget(noticeGroup);
    layout->addWidget(mqttGroup);
    layout->addWidget(buttons);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
}

void ReceiverSettingsDialog::setPasswordNote(const QString &text)
{
    m_passwordNote->setText(text);
}

void ReceiverSettingsDialog::setDepartmentNames(const QHash<QString, QString> &names)
{
    // What is checked now stays checked (at first, what the settings have).
    const QStringList checked = m_departments->count() > 0 ? settings().departments : m_original.departments;
    QStringList ids = names.keys();
    for (const QString &id : std::as_const(checked)) {
        if (!ids.contains(id))
            ids.append(id);
    }
    std::sort(ids.begin(), ids.end(), [&names](const QString &a, const QString &b) {
        return names.value(a, a) < names.value(b, b);
    });
    m_departments->clear();
    for (const QString &id : std::as_const(ids)) {
        const QString name = names.value(id);
        auto *item = new QListWidgetItem(name.isEmpty() ? id : QStringLiteral("%1（%2）").arg(name, id), m_departments);
        item->setData(Qt::UserRole, id);
        item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsUserCheckable);
        item->setCheckState(checked.contains(id) ? Qt::Checked : Qt::Unchecked);
    }
    m_departments->setVisible(!ids.isEmpty());
}

ReceiverSettings ReceiverSettingsDialog::settings() const
{
    ReceiverSettings settings = ReceiverSettings::load();
    settings.port = m_port->value();
    settings.allowedSenders.clear();
    for (const QString &line : m_senders->toPlainText().split(QLatin1Char('\n'))) {
        if (!line.trimmed().isEmpty())
            settings.allowedSenders.append(line.trimmed());
    }
    settings.stayUntilClicked = m_stay->isChecked();
    settings.sound = m_sound->isChecked();
    settings.broker = m_broker->text().trimmed();
    settings.topic = m_topic->text().trimmed();
    settings.caFile = m_caFile->text().trimmed();
    settings.user = m_user->text();
    settings.displayName = m_displayName->text().trimmed();
    settings.password = m_password->text();
    settings.passwordInFile = m_original.passwordInFile;
    settings.documents = m_documents->isChecked();
    settings.departments.clear();
    for (int i = 0; i < m_departments->count(); ++i) {
        if (m_departments->item(i)->checkState() == Qt::Checked)
            settings.departments.append(m_departments->item(i)->data(Qt::UserRole).toString());
    }
    return settings;
}

void ReceiverSettingsDialog::focusOn(const QString &field)
{
    if (QWidget *wrong = findChild<QWidget *>(field))
        wrong->setFocus(Qt::OtherFocusReason);
}

void ReceiverSettingsDialog::testBroker()
{
    const ReceiverSettings chosen = settings();
    QString error, field;
    if (chosen.broker.isEmpty()) {
        m_testResult->setText(QStringLiteral("ブローカーのアドレスを入力してください。"));
        focusOn(QStringLiteral("Broker"));
        return;
    }
    MqttClient::Options options;
    if (!chosen.checkBroker(&error, &field) || !MqttClient::parseUrl(chosen.broker, &options, &error)) {
        m_testResult->setText(error);
        focusOn(field);
        return;
    }
    options.caFile = chosen.caFile;
    options.user = chosen.user;
    options.password = chosen.password;
    options.clientId = QStringLiteral("kavrel-r-test-%1").arg(QCoreApplication::applicationPid());
    options.connectTimeout = TestTime;
    // One try: the first state it reaches is the answer.
    options.firstRetryDelay = options.maxRetryDelay = TestTime;
    delete m_tester;
    m_tester = new MqttClient(options, this);
    m_testResult->setText(QStringLiteral("接続しています…"));
    m_testBroker->setEnabled(false);
    auto *client = m_tester.data();
    connect(client, &MqttClient::stateChanged, this, [this, client](const QString &text, bool connected) {
        if (client != m_tester)
            return;
        qCInfo(lcBroker).noquote() << QStringLiteral("connection test: %1").arg(text);
        m_testResult->setText(connected ? QStringLiteral("接続できました。")
                                        : QStringLiteral("接続できません。アドレス・ユーザー名・パスワード・CA ファイルを"
                                                         "確かめてください（詳しい理由はログにあります）。"));
        m_testBroker->setEnabled(true);
        m_tester = nullptr;
        client->disconnect(this);
        connect(client, &MqttClient::stopped, client, &QObject::deleteLater);
        client->stop();
    });
    client->start();
}

void ReceiverSettingsDialog::accept()
{
    const ReceiverSettings chosen = settings();
    QString error, field;
    if (!chosen.check(&error, &field) || (m_apply && !m_apply(chosen, &error))) {
        Seams::showMessage(this, error);
        focusOn(field);
        return;
    }
    if (m_startAtLogin->isChecked() != Autostart::enabled() && !Autostart::setEnabled(m_startAtLogin->isChecked(), &error)) {
        Seams::showMessage(this, QStringLiteral("ログイン時の起動を変えられませんでした。\r\n") + error);
        return;
    }
    if (!chosen.save(&error)) {
        // What could not be kept does not stay in force either.
        QString ignored;
        if (m_apply)
            m_apply(m_original, &ignored);
        Seams::showMessage(this, QStringLiteral("設定を保存できませんでした。\r\n") + error);
        return;
    }
    QDialog::accept();
}

#pragma once

#include "receiver/receiversettings.h"

#include <QDialog>
#include <QHash>
#include <QPointer>

#include <functional>

class MqttClient;
class QCheckBox;
class QPushButton;
class QLabel;
class QListWidget;
class QLineEdit;
class QPlainTextEdit;
class QSpinBox;

// kavrel-r's settings: the port, the senders it takes datagrams from, and
// how notices are shown. OK applies them (the apply function says why it
// could not, for instance a port that cannot be had) and stores them;
// when they cannot be applied or stored, the user is told and the dialog
// stays open with what was typed.
class ReceiverSettingsDialog : public QDialog
{
    Q_OBJECT

public:
    using Apply = std::function<bool(const ReceiverSettings &settings, QString *error)>;

    ReceiverSettingsDialog(const ReceiverSettings &settings, Apply apply, QWidget *parent = nullptr);

    ReceiverSettings settings() const;
    // Where the password is kept, as the user is told under it.
    void setPasswordNote(const QString &text);
    // The departments the fax monitors announced (name by id), offered to
    // choose from besides those chosen already.
    void setDepartmentNames(const QHash<QString, QString> &names);
    void accept() override;

    // Milliseconds the connection test waits for the broker's answer.
    static constexpr int TestTime = 10000;

private:
    // Tries the broker as the fields say, once, and says how it went beside
    // the button; the dialog is not held meanwhile.
    void testBroker();
    void focusOn(const QString &field);

    ReceiverSettings m_original;
    Apply m_apply;
    QSpinBox *m_port;
    QPlainTextEdit *m_senders;
    QCheckBox *m_stay;
    QCheckBox *m_sound;
    QLineEdit *m_broker;
    QLineEdit *m_topic;
    QLineEdit *m_caFile;
    QLineEdit *m_user;
    QLineEdit *m_displayName;
    QLineEdit *m_password;
    QLabel *m_passwordNote;
    QCheckBox *m_documents;
    QListWidget *m_departments;
    QCheckBox *m_startAtLogin;
    QPushButton *m_testBroker;
    QLabel *m_testResult;
    QPointer<MqttClient> m_tester; // the connection test under way
};

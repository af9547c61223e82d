#pragma once

#include "receiver/receiversettings.h"

#include <QDialog>

#include <functional>

class QCheckBox;
class QLabel;
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
    void accept() override;

private:
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
    QLineEdit *m_password;
    QLabel *m_passwordNote;
    QCheckBox *m_documents;
    QCheckBox *m_startAtLogin;
};

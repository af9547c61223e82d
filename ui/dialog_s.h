#pragma once

#include "settings/settingsstore.h"

#include <QDialog>

#include <functional>

class QLineEdit;

// The settings dialog: shows the stored destination address and port; OK
// stores what the boxes hold, exactly as typed, and Cancel (or Escape, or the
// close box) leaves the store as it was.
class Dialog_S : public QDialog
{
    Q_OBJECT

public:
    static const QString SaveFailedMessage;
    static const QString ReadFailedMessage;
    // Whether a typed address and port could be used; when they could not,
    // *error says why.
    using Check = std::function<bool(const QString &address, const QString &port, QString *error)>;

    explicit Dialog_S(QWidget *parent = nullptr);

    // Why the stored values could not be read (the boxes then show the
    // defaults), or the empty text.
    QString readFailure() const { return m_readFailure; }
    void setCheck(Check check) { m_check = std::move(check); }

    // OK: checks the texts, then stores the address and the port and closes.
    // When they could not be used, or the store cannot be written, the user
    // is told, nothing is stored, and the dialog stays open with the texts as
    // they were typed.
    void accept() override;

private:
    SettingsStore m_store;
    QString m_readFailure;
    Check m_check;
    QLineEdit *m_address;
    QLineEdit *m_port;
};

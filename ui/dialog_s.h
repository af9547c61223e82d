#pragma once

#include "settings/settingsstore.h"

#include <QDialog>

class QLineEdit;

// The settings dialog: shows the stored destination address and port; OK
// stores what the boxes hold, exactly as typed, and Cancel (or Escape, or the
// close box) leaves the store as it was.
class Dialog_S : public QDialog
{
    Q_OBJECT

public:
    static const QString SaveFailedMessage;

    explicit Dialog_S(QWidget *parent = nullptr);

    // OK: stores the address, then the port, and closes. When the store cannot
    // be written the user is told and the dialog stays open with the texts as
    // they were typed.
    void accept() override;

private:
    SettingsStore m_store;
    QLineEdit *m_address;
    QLineEdit *m_port;
};

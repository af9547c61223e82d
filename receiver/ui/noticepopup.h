#pragma once

#include <QLabel>
#include <QTimer>
#include <QWidget>

// A notice of the program's own, for a desktop without a notification
// service: a small window at the top right of the screen, above the others,
// that closes by itself after a while (or stays, as the user chose) and
// opens the history when clicked.
class NoticePopup : public QWidget
{
    Q_OBJECT

public:
    static constexpr int ShowTime = 8000;
    // Pixels a popup is wide: as wide as the desktop's notices, on any screen.
    static constexpr int MaxWidth = 360;

    explicit NoticePopup(QWidget *parent = nullptr);

    void present(const QString &summary, const QString &body, bool stayUntilClicked);
    QString summary() const { return m_summary->text(); }
    QString body() const { return m_body->text(); }

Q_SIGNALS:
    void clicked();

protected:
    void mousePressEvent(QMouseEvent *event) override;

private:
    QLabel *m_summary;
    QLabel *m_body;
    QTimer m_hide;
};

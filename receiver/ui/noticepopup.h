#pragma once

#include <QLabel>
#include <QTimer>
#include <QWidget>

class QPushButton;

// A notice of the program's own, for a desktop without a notification
// service: a small window at the top right of the screen, above the others
// and out of the taskbar, that closes by itself after a while (or stays, as
// the user chose) or with its close button, and opens the history when
// clicked. With the fax's document, it shows the first page and a button
// 開く.
class NoticePopup : public QWidget
{
    Q_OBJECT

public:
    static constexpr int ShowTime = 8000;
    // Pixels a popup is wide: as wide as the desktop's notices, on any screen.
    static constexpr int MaxWidth = 360;
    // The first page's picture is shown at most this wide.
    static constexpr int PictureSize = 96;

    explicit NoticePopup(QWidget *parent = nullptr);

    // With takeable, a button 担当する.
    void present(const QString &summary, const QString &body, bool stayUntilClicked, bool failed = false,
                 bool takeable = false);
    // The first page's picture (a file; none when empty), and whether the
    // document can be opened.
    void attach(const QString &picture, bool document);
    QString summary() const { return m_summary->text(); }
    QString body() const { return m_body->text(); }

Q_SIGNALS:
    void clicked();
    void openClicked();
    void takeClicked();

protected:
    void mousePressEvent(QMouseEvent *event) override;

private:
    void place();

    QLabel *m_summary;
    QLabel *m_body;
    QLabel *m_picture;
    QPushButton *m_open;
    QPushButton *m_take;
    QTimer m_hide;
};

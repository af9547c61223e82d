#pragma once

#include "core/faxstate.h"
#include "receiver/notificationtext.h"

#include <QString>

// What a notice says, in the program's words: a fax that came (from whom,
// the number, the pages, the time), one that failed (with its message, never
// as a success), the test notification, or any other text as it came; and
// for several gathered into one, how many came.
struct NoticeContent
{
    // Characters of a sender's text a notice shows, at most.
    static constexpr int MaxTextLength = 400;

    QString summary;
    QString body;
    QString category; // as freedesktop.org's desktop notifications name them

    // For several gathered into one notice, failed is how many of them are
    // failed receptions: the notice is flagged when any is.
    static NoticeContent describe(const NotificationText &text, int gathered = 1, int failed = 0);
    // The fax server's reason for a failure as an office reads it: the
    // reason, and a plain Japanese reading after it for the common ones.
    static QString failure(const QString &error);
    // Who has a fax, as the inbox says it: 未対応, 対応中：山田, 完了：山田
    // 12/08 10:31; empty when no state is known.
    static QString state(const FaxState &state);
};

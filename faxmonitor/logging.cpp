#include "faxmonitor/logging.h"

#include <QByteArray>

#include <sys/stat.h>

Q_LOGGING_CATEGORY(lcPosts, "kavrel.faxmon.posts", QtInfoMsg)
Q_LOGGING_CATEGORY(lcLinks, "kavrel.faxmon.links", QtInfoMsg)
Q_LOGGING_CATEGORY(lcRelays, "kavrel.faxmon.relays", QtInfoMsg)

namespace {

// systemd says so in JOURNAL_STREAM ("device:inode" of the stream it gave
// the service); a standard error redirected elsewhere is not the journal.
bool standardErrorIsTheJournal()
{
    const QByteArray stream = qgetenv("JOURNAL_STREAM");
    struct stat st;
    if (stream.isEmpty() || fstat(2, &st) != 0)
        return false;
    return stream == QByteArray::number(quint64(st.st_dev)) + ':' + QByteArray::number(quint64(st.st_ino));
}

} // namespace

void useJournalMessageFormat()
{
    // "<4>" and the like give each line its priority (sd-daemon(3)).
    const QByteArray priority = standardErrorIsTheJournal()
        ? QByteArrayLiteral("%{if-debug}<7>%{endif}%{if-info}<6>%{endif}%{if-warning}<4>%{endif}"
                            "%{if-critical}<3>%{endif}%{if-fatal}<2>%{endif}")
        : QByteArray();
    qSetMessagePattern(QString::fromLatin1(priority + "%{category}: %{message}"));
}

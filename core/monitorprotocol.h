#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

// How the fax monitor is reached, written once for the monitor, kavrel-s's
// fax link, the hook's post, the simulator, the tests and the benchmark.
//
// The monitor listens in one folder (the system monitor's is
// /run/kavrel-faxmon) on two Unix sockets: links connect at
// orvex-monitor.sock and read one reception a line; the fax server's hook
// posts at post.sock: the fields, each ended by a NUL byte, answered "OK\n"
// once the monitor has taken them.
namespace MonitorProtocol {

// The fields of a post: RECEIVED SENDER CIDNUMBER CIDNAME PAGES MSG; a hook
// that knows them adds FILE (the received document, relative to the fax
// server's spool) and COMMID, and begins its post with ExtendedPostMark, a
// field that a post of the six alone (an older hook's) never has; today's
// hook adds DEVICE and DESTINATION too (the line and the number called,
// what receptions are routed on), after RoutedPostMark. The monitor takes
// all three.
constexpr int PostFields = 6;
constexpr int ExtendedPostFields = 8;
constexpr int RoutedPostFields = 10;
inline const QByteArray ExtendedPostMark = QByteArrayLiteral("kavrel-post-2");
inline const QByteArray RoutedPostMark = QByteArrayLiteral("kavrel-post-3");
// A longer post is refused: HylaFAX's fields are short.
constexpr qsizetype MaxPostSize = 16 * 1024;
// The monitor's answer to a post it took.
inline const QByteArray PostTaken = QByteArrayLiteral("OK\n");

QString systemFolder();
QString linkSocketName();
QString postSocketName();
// The system monitor's link socket, in the system folder.
QString systemLinkSocket();

// Whether bytes hold a whole post: then *fields has its fields (six, eight
// or ten, without the mark).
bool readPost(const QByteArray &bytes, QList<QByteArray> *fields);

// Posts one reception (six fields, eight or ten) to the monitor listening in folder and waits, at most
// timeout milliseconds in all, for its answer. For short-lived clients only
// (the hook's post, tests): it blocks. False, with the reason, when the
// monitor is not there or did not take it.
bool post(const QString &folder, const QList<QByteArray> &fields, int timeout, QString *error);

} // namespace MonitorProtocol

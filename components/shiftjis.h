#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringView>

// Text as a Windows PC in Japan writes it (Shift_JIS, code page 932), which is
// what the receivers read. Characters that the JIS form of Shift_JIS has but
// Windows writes from other code points are taken in the Windows form;
// anything else that cannot be written becomes "?".
QByteArray toWindowsShiftJis(QStringView text);

// Reads what a Windows PC in Japan writes (code page 932): the inverse of
// toWindowsShiftJis(), so that every character written comes back as itself.
// Bytes that are not code page 932 each become U+FFFD, and the rest is read
// on: a broken pair never swallows the ASCII byte after its lead byte.
QString fromWindowsShiftJis(QByteArrayView bytes);

#pragma once

#include <QByteArray>
#include <QStringView>

// Text as a Windows PC in Japan writes it (Shift_JIS, code page 932), which is
// what the receivers read. Characters that the JIS form of Shift_JIS has but
// Windows writes from other code points are taken in the Windows form;
// anything else that cannot be written becomes "?".
QByteArray toWindowsShiftJis(QStringView text);

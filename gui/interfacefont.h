#pragma once

#include <QFont>

// The font for everything but kavrel-s's title, in both desktop programs:
// the desktop's own, with a Japanese face that comes with the programs
// (VL PGothic) first in line for the characters the desktop's face lacks,
// half-width kana included. Left to the system they would come from the face
// it prefers, often a whole CJK collection, whose tables a resident program
// would keep in memory all day for a few labels. Unhinted, for the same
// reason.
QFont interfaceFont(const QFont &desktop);

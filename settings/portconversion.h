#pragma once

#include <QString>
#include <QtGlobal>

// The port is stored as the text the user typed; it becomes a number only when
// it is given to the sender.
// Reads text as a decimal number and converts it to a 32-bit signed integer,
// rounding a fraction to the nearest whole number, halves to the even
// neighbour. Blanks (ASCII and the ideographic space) around the number, a
// leading sign, and the full-width forms of digits, sign and decimal point are
// accepted; anything else fails, the empty text included, and so does a result
// outside the 32-bit range: then *error says why, and *value is left alone.
bool convertPort(const QString &text, qint32 *value, QString *error);

#pragma once

#include <QColor>
#include <QFont>
#include <QIcon>

// Colours are written as &H00BBGGRR& values: red in the lowest byte.
constexpr QRgb rgbFromBgr(quint32 bgr)
{
    return qRgb(bgr & 0xFF, (bgr >> 8) & 0xFF, (bgr >> 16) & 0xFF);
}

inline QColor colorFromBgr(quint32 bgr)
{
    return QColor(rgbFromBgr(bgr));
}

// The pop-style title font, 24 points, regular, or the closest Japanese face
// the system has.
QFont titleFont();

// The program's 32 x 32, 256-colour icon: the main window's, the settings
// dialog's and the program's.
QIcon programIcon();

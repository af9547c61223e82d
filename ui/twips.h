#pragma once

#include <QRect>
#include <QString>
#include <QWidget>

// Window and control geometry is given in twips (1/1440 inch): 15 twips to a
// logical pixel at 96 dpi. Qt scales logical pixels on high-dpi screens.
constexpr int twipsToPixels(int twips)
{
    return (twips + 7) / 15;
}

constexpr QRect twipsRect(int left, int top, int width, int height)
{
    return QRect(twipsToPixels(left), twipsToPixels(top), twipsToPixels(width), twipsToPixels(height));
}

// A control of its window, under its own name (which tests find it by), with
// its text, at its place.
template <typename Control>
Control *makeControl(QWidget *parent, const char *name, const QString &text, const QRect &geometry)
{
    auto *control = new Control(text, parent);
    control->setObjectName(QLatin1String(name));
    control->setGeometry(geometry);
    return control;
}

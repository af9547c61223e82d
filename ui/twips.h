#pragma once

#include <QRect>

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

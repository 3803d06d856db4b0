#pragma once

#include <QRect>

/** Window definitions are kept in twips, as designed; 15 twips make one logical pixel. */
constexpr int Twips(int twips)
{
    return twips / 15;
}

constexpr QRect TwipsRect(int left, int top, int width, int height)
{
    return QRect(Twips(left), Twips(top), Twips(width), Twips(height));
}

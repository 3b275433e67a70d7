// Dialog units: the window's layout is given in units of the dialog font's average character
// width (x / 4) and height (y / 8), so controls scale with the font the system supplies.
#pragma once

#include <QFont>
#include <QRect>
#include <QSize>

class QFontMetrics;

// A font of the given face whose em height is points x logical DPI / 72 pixels, rounded.
QFont PointSizedFont(const QString& family, int points, bool bold = false, bool italic = false);

// Average width of the 52 Latin letters, rounded: the width that dialog units are based on.
int AverageLetterWidth(const QFontMetrics& metrics);

struct DialogUnits {
    int averageCharWidth = 0;
    int charHeight = 0;

    int toPixelsX(int dluX) const;
    int toPixelsY(int dluY) const;
    QRect rect(int x, int y, int width, int height) const;
    QSize size(int width, int height) const;
};

DialogUnits DialogUnitsOf(const QFont& dialogFont);

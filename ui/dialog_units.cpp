#include "ui/dialog_units.h"

#include <QFontMetrics>
#include <QGuiApplication>
#include <QScreen>
#include <QtMath>

QFont PointSizedFont(const QString& family, int points, bool bold, bool italic)
{
    const QScreen* screen = QGuiApplication::primaryScreen();
    const qreal dpiY = screen ? screen->logicalDotsPerInchY() : 96.0;
    QFont font(family);
    font.setPixelSize(qRound(points * dpiY / 72.0));
    font.setBold(bold);
    font.setItalic(italic);
    return font;
}

int AverageLetterWidth(const QFontMetrics& metrics)
{
    static const QString letters =
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
    return qRound(metrics.horizontalAdvance(letters) / 52.0);
}

int DialogUnits::toPixelsX(int dluX) const
{
    return qRound(dluX * averageCharWidth / 4.0);
}

int DialogUnits::toPixelsY(int dluY) const
{
    return qRound(dluY * charHeight / 8.0);
}

QRect DialogUnits::rect(int x, int y, int width, int height) const
{
    // Both corners are converted, as the layout's right and bottom edges are, so controls
    // that touch in dialog units touch on screen too.
    return QRect(QPoint(toPixelsX(x), toPixelsY(y)),
                 QPoint(toPixelsX(x + width) - 1, toPixelsY(y + height) - 1));
}

QSize DialogUnits::size(int width, int height) const
{
    return QSize(toPixelsX(width), toPixelsY(height));
}

DialogUnits DialogUnitsOf(const QFont& dialogFont)
{
    const QFontMetrics metrics(dialogFont);
    return DialogUnits{AverageLetterWidth(metrics), metrics.height()};
}

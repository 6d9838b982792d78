#include "window/dialog_font.h"

#include <QFontMetrics>

namespace corvanel {

namespace {

constexpr qreal kDialogPointSize = 8.0;
constexpr qreal kStatusBarPointSize = 8.25;
constexpr int kNarrowestStretch = 75; // narrower than this reads badly
constexpr qreal kSmallestPointSize = 6.0;

// The widest ratio of needed to available room; at most 1 when all fit.
qreal overflow(const QFont &font, const QList<CaptionRoom> &rooms)
{
    const QFontMetrics metrics(font);
    qreal worst = 0;
    for (const CaptionRoom &room : rooms) {
        const int available = room.width - room.margin;
        const int needed = metrics.horizontalAdvance(room.caption);
        if (available <= 0)
            continue;
        worst = qMax(worst, qreal(needed) / available);
    }
    return worst;
}

} // namespace

QStringList dialogFontFamilies()
{
    return {QStringLiteral("MS Sans Serif"), QStringLiteral("Microsoft Sans Serif"),
            QStringLiteral("Tahoma"),        QStringLiteral("Liberation Sans"),
            QStringLiteral("Arimo"),         QStringLiteral("Nimbus Sans"),
            QStringLiteral("Arial"),         QStringLiteral("DejaVu Sans")};
}

namespace {

QFont sansSerif(qreal pointSize)
{
    QFont font;
    font.setFamilies(dialogFontFamilies());
    font.setStyleHint(QFont::SansSerif);
    font.setPointSizeF(pointSize);
    font.setWeight(QFont::Normal);
    return font;
}

} // namespace

QFont baseDialogFont()
{
    return sansSerif(kDialogPointSize);
}

QFont statusBarFont()
{
    QFont font = sansSerif(kStatusBarPointSize);
    font.setItalic(false);
    font.setUnderline(false);
    font.setStrikeOut(false);
    // Set explicitly so that narrowing the window's dialog font to fit the
    // captions does not reach the bar's font of its own.
    font.setStretch(QFont::Unstretched);
    return font;
}

QFont fitCaptions(QFont font, const QList<CaptionRoom> &rooms)
{
    qreal ratio = overflow(font, rooms);
    if (ratio <= 1)
        return font;
    // Stretch first: it keeps the height, so the captions stay as tall as
    // the controls expect. Glyph advances round to pixels, so step down until
    // the measured widths really fit.
    int stretch = qMin(99, int(100 / ratio));
    while (stretch >= kNarrowestStretch) {
        font.setStretch(stretch);
        if (overflow(font, rooms) <= 1)
            return font;
        --stretch;
    }
    font.setStretch(kNarrowestStretch);
    qreal size = font.pointSizeF();
    while (size > kSmallestPointSize && overflow(font, rooms) > 1) {
        size -= 0.25;
        font.setPointSizeF(size);
    }
    return font;
}

} // namespace corvanel

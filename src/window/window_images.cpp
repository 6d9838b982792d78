#include "window/window_images.h"

#include <QPainter>
#include <QPainterPath>

namespace corvanel {

namespace {

// The classic 16-colour palette the indicator pictures keep to.
const QColor kBlack(0, 0, 0);
const QColor kDarkGrey(128, 128, 128);
const QColor kLightGrey(192, 192, 192);
const QColor kWhite(255, 255, 255);
const QColor kBlue(0, 0, 255);
const QColor kCyan(0, 255, 255);
const QColor kNavy(0, 0, 128);

QPixmap transparentPixmap(int size)
{
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    return pixmap;
}

// A raised box in the 16-colour style: light face, white top-left edge,
// dark bottom-right edge, black outline.
void drawCase(QPainter &painter, const QRectF &box)
{
    painter.setPen(Qt::NoPen);
    painter.setBrush(kLightGrey);
    painter.drawRect(box);
    painter.setPen(QPen(kWhite, 1));
    painter.drawLine(QPointF(box.left() + 1, box.top() + 1.5), QPointF(box.right() - 1, box.top() + 1.5));
    painter.drawLine(QPointF(box.left() + 1.5, box.top() + 1), QPointF(box.left() + 1.5, box.bottom() - 1));
    painter.setPen(QPen(kDarkGrey, 1));
    painter.drawLine(QPointF(box.left() + 1, box.bottom() - 1.5), QPointF(box.right() - 1, box.bottom() - 1.5));
    painter.drawLine(QPointF(box.right() - 1.5, box.top() + 1), QPointF(box.right() - 1.5, box.bottom() - 1));
    painter.setPen(QPen(kBlack, 1));
    painter.setBrush(Qt::NoBrush);
    painter.drawRect(box.adjusted(0.5, 0.5, -0.5, -0.5));
}

} // namespace

QPixmap computerImage(bool linkAlive, int size)
{
    QPixmap pixmap = transparentPixmap(size);
    QPainter painter(&pixmap);
    painter.scale(size / 32.0, size / 32.0); // drawn on a 32 x 32 grid

    // Monitor case and screen.
    drawCase(painter, QRectF(5, 1, 22, 18));
    painter.setPen(QPen(kDarkGrey, 1));
    painter.setBrush(linkAlive ? kBlue : kBlack);
    painter.drawRect(QRectF(8.5, 3.5, 15, 12));
    if (linkAlive) {
        // A few lines of light on the lit screen.
        painter.setPen(QPen(kCyan, 1));
        painter.drawLine(QPointF(10, 6.5), QPointF(18, 6.5));
        painter.drawLine(QPointF(10, 9.5), QPointF(21, 9.5));
        painter.drawLine(QPointF(10, 12.5), QPointF(15, 12.5));
    }

    // Neck on which the monitor stands.
    painter.setPen(Qt::NoPen);
    painter.setBrush(kDarkGrey);
    painter.drawRect(QRectF(13, 19, 6, 2));
    painter.setBrush(kBlack);
    painter.drawRect(QRectF(11, 20, 10, 1));

    // Flat system unit with a drive slot and the drive lamp.
    drawCase(painter, QRectF(1, 21, 30, 9));
    painter.setPen(Qt::NoPen);
    painter.setBrush(kBlack);
    painter.drawRect(QRectF(16, 24, 11, 1));
    painter.setBrush(kNavy);
    painter.drawRect(QRectF(16, 25, 11, 1));
    painter.setBrush(linkAlive ? kCyan : kDarkGrey);
    painter.setPen(QPen(kBlack, 1));
    painter.drawRect(QRectF(4.5, 24.5, 3, 2));
    return pixmap;
}

QPixmap toolsIcon(int size)
{
    QPixmap pixmap = transparentPixmap(size);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.scale(size / 24.0, size / 24.0); // drawn on a 24 x 24 grid

    const QColor steel(150, 150, 150);
    const QColor steelEdge(70, 70, 70);
    const QColor orange(255, 140, 0);
    const QColor orangeEdge(150, 70, 0);

    // Wrench, upright on the left: an open jaw at the top, the shaft below.
    QPainterPath wrench;
    wrench.addEllipse(QPointF(6.5, 5.5), 4.5, 4.5);
    wrench.addRoundedRect(QRectF(5, 7, 3, 15.5), 1.5, 1.5);
    wrench.setFillRule(Qt::WindingFill);
    QPainterPath jaw;
    jaw.addRect(QRectF(5.1, 0, 2.8, 5.5));
    const QPainterPath openWrench = wrench.simplified().subtracted(jaw);
    painter.setPen(QPen(steelEdge, 0.8));
    painter.setBrush(steel);
    painter.drawPath(openWrench);

    // Screwdriver, upright on the right: flat blade at the top, orange handle below.
    painter.setPen(QPen(steelEdge, 0.8));
    painter.setBrush(steel);
    painter.drawRect(QRectF(16.5, 3, 2, 10));
    QPainterPath tip;
    tip.moveTo(16.5, 3);
    tip.lineTo(17, 1);
    tip.lineTo(18, 1);
    tip.lineTo(18.5, 3);
    tip.closeSubpath();
    painter.drawPath(tip);
    painter.setPen(QPen(orangeEdge, 0.8));
    painter.setBrush(orange);
    painter.drawRoundedRect(QRectF(14.5, 12.5, 6, 10.5), 2, 2);
    painter.setPen(QPen(orangeEdge, 0.6));
    painter.drawLine(QPointF(16.5, 14.5), QPointF(16.5, 21));
    painter.drawLine(QPointF(18.5, 14.5), QPointF(18.5, 21));
    return pixmap;
}

} // namespace corvanel

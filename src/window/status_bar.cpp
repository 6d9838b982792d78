#include "window/status_bar.h"

#include <QPainter>
#include <QTimerEvent>

namespace corvanel {

namespace {
constexpr int kBorder = 1;   // sunken edge
constexpr int kInset = 1;    // gap between the edge and the bar
const QColor kTextColour(Qt::black);
const QColor kShadow(128, 128, 128);
const QColor kHighlight(255, 255, 255);
} // namespace

TextProgressBar::TextProgressBar(QWidget *parent) : QWidget(parent)
{
    setFocusPolicy(Qt::NoFocus);
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void TextProgressBar::scheduleRepaint()
{
    // The first change after a quiet spell is painted at once; changes that
    // follow within a frame are gathered into one repaint at its end.
    if (frameTimer_.isActive()) {
        repaintPending_ = true;
        return;
    }
    update();
    frameTimer_.start(kFrameIntervalMs, this);
}

void TextProgressBar::timerEvent(QTimerEvent *event)
{
    if (event->timerId() != frameTimer_.timerId()) {
        QWidget::timerEvent(event);
        return;
    }
    if (repaintPending_) {
        repaintPending_ = false;
        update();
    } else {
        frameTimer_.stop();
    }
}

void TextProgressBar::setText(const QString &text)
{
    if (text == text_)
        return;
    text_ = text;
    scheduleRepaint();
}

void TextProgressBar::setValue(int value)
{
    if (value == value_)
        return;
    value_ = value;
    scheduleRepaint();
}

void TextProgressBar::setMaximum(int maximum)
{
    if (maximum == maximum_)
        return;
    maximum_ = maximum;
    scheduleRepaint();
}

void TextProgressBar::setColourValue(quint32 colour)
{
    if (colour == colourValue_)
        return;
    colourValue_ = colour;
    scheduleRepaint();
}

QColor TextProgressBar::colourFromBgr(quint32 colour)
{
    return QColor(int(colour & 0xFF), int((colour >> 8) & 0xFF), int((colour >> 16) & 0xFF));
}

QColor TextProgressBar::barColour() const
{
    return colourFromBgr(colourValue_);
}

QRect TextProgressBar::barRect() const
{
    const QRect inside = rect().adjusted(kBorder + kInset, kBorder + kInset, -(kBorder + kInset),
                                         -(kBorder + kInset));
    if (maximum_ <= 0 || value_ <= 0 || inside.isEmpty())
        return {};
    const qint64 shown = qMin<qint64>(value_, maximum_);
    const int width = int(qint64(inside.width()) * shown / maximum_);
    return {inside.left(), inside.top(), width, inside.height()};
}

void TextProgressBar::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    const QRect all = rect();
    painter.fillRect(all, palette().color(QPalette::Base));

    // A thin sunken edge, as the classic control draws it.
    painter.setPen(kShadow);
    painter.drawLine(all.topLeft(), all.topRight());
    painter.drawLine(all.topLeft(), all.bottomLeft());
    painter.setPen(kHighlight);
    painter.drawLine(all.bottomLeft(), all.bottomRight());
    painter.drawLine(all.topRight(), all.bottomRight());

    const QRect bar = barRect();
    if (!bar.isEmpty())
        painter.fillRect(bar, barColour());

    painter.setPen(kTextColour);
    painter.setFont(font());
    painter.drawText(all, Qt::AlignCenter | Qt::TextSingleLine, text_);
}

} // namespace corvanel

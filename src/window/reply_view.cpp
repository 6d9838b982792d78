#include "window/reply_view.h"

#include <QFontMetrics>
#include <QKeyEvent>
#include <QPainter>
#include <QScrollBar>

namespace corvanel {

namespace {
constexpr int kPadding = 2;

// A line of the view without its line end: CR LF, LF or a lone CR all end a
// line on screen, while the bytes themselves stay as received.
QList<QByteArrayView> splitLines(const QByteArray &bytes)
{
    QList<QByteArrayView> lines;
    qsizetype start = 0;
    const qsizetype size = bytes.size();
    for (qsizetype i = 0; i < size; ++i) {
        const char c = bytes.at(i);
        if (c != '\n' && c != '\r')
            continue;
        lines.append(QByteArrayView(bytes).sliced(start, i - start));
        if (c == '\r' && i + 1 < size && bytes.at(i + 1) == '\n')
            ++i;
        start = i + 1;
    }
    lines.append(QByteArrayView(bytes).sliced(start));
    return lines;
}
} // namespace

ReplyView::ReplyView(QWidget *parent) : QAbstractScrollArea(parent)
{
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setFocusPolicy(Qt::StrongFocus);
    viewport()->setBackgroundRole(QPalette::Base);
    viewport()->setAutoFillBackground(true);
}

void ReplyView::setBytes(QByteArrayView bytes)
{
    if (bytes == QByteArrayView(bytes_))
        return;
    bytes_ = bytes.toByteArray();
    measured_ = false;
    viewport()->update();
}

void ReplyView::clear()
{
    setBytes({});
}

void ReplyView::ensureMeasured()
{
    if (measured_)
        return;
    measured_ = true;
    lines_ = splitLines(bytes_);
    const QFontMetrics metrics(font());
    widestLine_ = 0;
    for (QByteArrayView line : std::as_const(lines_))
        widestLine_ = qMax(widestLine_, metrics.horizontalAdvance(QString::fromLatin1(line)));
    updateScrollRanges();
}

void ReplyView::updateScrollRanges()
{
    const QFontMetrics metrics(font());
    const int lineHeight = qMax(1, metrics.lineSpacing());
    const int visibleLines = qMax(1, (viewport()->height() - 2 * kPadding) / lineHeight);
    verticalScrollBar()->setRange(0, qMax(0, int(lines_.size()) - visibleLines));
    verticalScrollBar()->setPageStep(visibleLines);
    horizontalScrollBar()->setRange(0,
                                    qMax(0, widestLine_ + 2 * kPadding - viewport()->width()));
    horizontalScrollBar()->setPageStep(viewport()->width());
    horizontalScrollBar()->setSingleStep(metrics.averageCharWidth());
}

void ReplyView::paintEvent(QPaintEvent *)
{
    ensureMeasured();
    QPainter painter(viewport());
    painter.setPen(palette().color(QPalette::Text));
    const QFontMetrics metrics(font());
    const int lineHeight = qMax(1, metrics.lineSpacing());
    const int first = verticalScrollBar()->value();
    const int x = kPadding - horizontalScrollBar()->value();
    int y = kPadding + metrics.ascent();
    for (qsizetype i = first; i < lines_.size() && y - metrics.ascent() < viewport()->height();
         ++i, y += lineHeight)
        painter.drawText(x, y, QString::fromLatin1(lines_.at(i)));
}

void ReplyView::resizeEvent(QResizeEvent *event)
{
    QAbstractScrollArea::resizeEvent(event);
    ensureMeasured();
    updateScrollRanges();
}

void ReplyView::keyPressEvent(QKeyEvent *event)
{
    ensureMeasured();
    QAbstractScrollArea::keyPressEvent(event);
}

void ReplyView::changeEvent(QEvent *event)
{
    QAbstractScrollArea::changeEvent(event);
    if (event->type() == QEvent::FontChange) {
        measured_ = false;
        viewport()->update();
    }
}

} // namespace corvanel

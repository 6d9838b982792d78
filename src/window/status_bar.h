#pragma once

#include <QBasicTimer>
#include <QColor>
#include <QString>
#include <QWidget>

namespace corvanel {

// A progress bar that carries a word drawn over the bar, in a colour of its
// own. The value and maximum are kept exactly as set and only clamped when
// painted; a maximum of 0 or less paints an empty bar, never a busy animation.
//
// A transfer sets the value once per datagram, thousands of times a second.
// The bar repaints at most once per frame interval so that painting does not
// cost more than the transfer itself; what it paints is always the latest.
class TextProgressBar : public QWidget {
    Q_OBJECT
public:
    static constexpr int kFrameIntervalMs = 16;

    explicit TextProgressBar(QWidget *parent = nullptr);

    QString text() const { return text_; }
    void setText(const QString &text);

    int value() const { return value_; }
    void setValue(int value);

    int maximum() const { return maximum_; }
    void setMaximum(int maximum);

    // The colour as the platform value 0x00BBGGRR (red in the low byte).
    quint32 colourValue() const { return colourValue_; }
    void setColourValue(quint32 colour);
    QColor barColour() const;

    static QColor colourFromBgr(quint32 colour);

    // The part of the inside that the bar covers, in widget coordinates.
    QRect barRect() const;

protected:
    void paintEvent(QPaintEvent *event) override;
    void timerEvent(QTimerEvent *event) override;

private:
    void scheduleRepaint();

    QBasicTimer frameTimer_;
    bool repaintPending_ = false;
    QString text_;
    int value_ = 0;
    int maximum_ = 0;
    quint32 colourValue_ = 0;
};

} // namespace corvanel

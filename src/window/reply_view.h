#pragma once

#include <QAbstractScrollArea>
#include <QByteArray>
#include <QByteArrayView>
#include <QString>

namespace corvanel {

// A multi-line, read-only text box with both scroll bars that keeps the bytes
// it was given exactly (CR LF included) and shows them as Latin-1 text.
// Setting a reply only copies the bytes; lines are measured when the view is
// painted or scrolled, so a flood of replies costs next to nothing here.
class ReplyView : public QAbstractScrollArea {
    Q_OBJECT
public:
    explicit ReplyView(QWidget *parent = nullptr);

    void setBytes(QByteArrayView bytes);
    void clear();
    const QByteArray &bytes() const { return bytes_; }
    QString text() const { return QString::fromLatin1(bytes_); }

protected:
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void changeEvent(QEvent *event) override;

private:
    void ensureMeasured();
    void updateScrollRanges();

    QByteArray bytes_;
    QList<QByteArrayView> lines_; // views into bytes_, without their line ends
    int widestLine_ = 0;          // pixels
    bool measured_ = true;
};

} // namespace corvanel

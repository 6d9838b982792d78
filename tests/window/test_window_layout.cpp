// The window as laid out: every control's name, kind, container, caption,
// place, tab order and state at creation; the state after start-up; the status
// bar, the reply views and the link indicator.

#include "window_test_support.h"

#include "engine/status_display.h"
#include "window/dialog_font.h"
#include "window/qt_prompts.h"
#include "window/window_geometry.h"

#include <QApplication>
#include <QFileDialog>
#include <QGroupBox>
#include <QMessageBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QStyle>
#include <QTest>

#include <algorithm>

using namespace corvanel;
using namespace corvanel::testing;

namespace {

enum class Kind { Frame, Combo, Picture, Button, LineBox, MultiBox, Label, Bar };

struct Row {
    const char *name;
    Kind kind;
    const char *container; // nullptr: the window
    const char *caption;   // nullptr: none
    int left, top, width, height;
    int tabIndex; // -1: none
};

// The panel and the service area, as the layout gives them.
const Row kRows[] = {
    {"Frame8", Kind::Frame, nullptr, "Link Ethernet", 0, 0, 4935, 975, 8},
    {"ComboRemoteIP", Kind::Combo, "Frame8", "", 120, 240, 2055, 315, 10},
    {"YesConnect", Kind::Picture, "Frame8", nullptr, 2220, 240, 480, 480, -1},
    {"NoConnect", Kind::Picture, "Frame8", nullptr, 2220, 360, 480, 480, -1},
    {"cbBind", Kind::Button, "Frame8", "Connect", 2820, 240, 1155, 255, 9},
    {"Command5", Kind::Button, "Frame8", "Install", 4080, 240, 735, 255, 22},
    {"Add_ip", Kind::Button, "Frame8", "Add", 120, 600, 615, 255, 11},
    {"Del_ip", Kind::Button, "Frame8", "Del", 840, 600, 615, 255, 12},
    {"SaveIP", Kind::Button, "Frame8", "Save", 1560, 600, 615, 255, 13},
    {"Command3", Kind::Button, nullptr, "Open File and  Download", 2760, 600, 2055, 255, 19},
    {"Frame1", Kind::Frame, nullptr, "Status", 0, 960, 4935, 975, 5},
    {"vbalProgressBar1", Kind::Bar, nullptr, "NO FILE", 120, 1200, 4695, 255, 21},
    {"Text3", Kind::LineBox, "Frame1", "", 120, 600, 4695, 285, 23},
    {"Label14", Kind::Label, "Frame1", "Label14", 1920, 960, 135, 15, 7},
    {"Text8", Kind::MultiBox, nullptr, "", 0, 2280, 4875, 975, 1},
    {"Command4", Kind::Button, nullptr, "Send", 60, 3360, 795, 255, 20},
    {"Command9", Kind::Button, nullptr, "CLR", 1980, 3360, 615, 255, 24},
    {"tbReceiveData", Kind::MultiBox, nullptr, "", 0, 5520, 4815, 975, 18},
    {"Label37", Kind::Label, nullptr, "Remote-Port", 180, 6720, 975, 255, 16},
    {"Label36", Kind::Label, nullptr, "Local-Port", 1260, 6720, 855, 255, 17},
    {"tbRemotePort", Kind::LineBox, nullptr, "", 180, 6960, 975, 285, 14},
    {"tbLocalPort", Kind::LineBox, nullptr, "", 1140, 6960, 975, 285, 15},
    {"Text5", Kind::LineBox, nullptr, "Text5", 900, 8400, 1335, 285, 3},
    {"Text1", Kind::LineBox, nullptr, "Text1", 2460, 8400, 735, 285, 2},
    {"Text6", Kind::LineBox, nullptr, "Text6", 3300, 8400, 495, 285, 4},
    {"Text2", Kind::LineBox, nullptr, "text2", 900, 8640, 1095, 285, 6},
    {"Text20", Kind::MultiBox, nullptr, "", 60, 9120, 4395, 975, 0},
};

QString captionOf(QWidget *w)
{
    if (auto *b = qobject_cast<QPushButton *>(w))
        return b->text();
    if (auto *l = qobject_cast<QLabel *>(w))
        return l->text();
    if (auto *g = qobject_cast<QGroupBox *>(w))
        return g->title();
    if (auto *e = qobject_cast<QLineEdit *>(w))
        return e->text();
    if (auto *c = qobject_cast<QComboBox *>(w))
        return c->currentText();
    if (auto *v = qobject_cast<ReplyView *>(w))
        return v->text();
    if (auto *p = qobject_cast<QPlainTextEdit *>(w))
        return p->toPlainText();
    if (auto *bar = qobject_cast<TextProgressBar *>(w))
        return bar->text();
    return {};
}

bool isKind(QWidget *w, Kind kind)
{
    switch (kind) {
    case Kind::Frame:
        return qobject_cast<QGroupBox *>(w);
    case Kind::Combo: {
        auto *c = qobject_cast<QComboBox *>(w);
        return c && c->isEditable() && c->insertPolicy() == QComboBox::NoInsert;
    }
    case Kind::Picture: {
        auto *l = qobject_cast<QLabel *>(w);
        return l && !l->pixmap().isNull();
    }
    case Kind::Button:
        return qobject_cast<QPushButton *>(w);
    case Kind::LineBox:
        return qobject_cast<QLineEdit *>(w);
    case Kind::MultiBox: {
        auto *area = qobject_cast<QAbstractScrollArea *>(w);
        return area && area->horizontalScrollBarPolicy() == Qt::ScrollBarAlwaysOn &&
               area->verticalScrollBarPolicy() == Qt::ScrollBarAlwaysOn;
    }
    case Kind::Label: {
        auto *l = qobject_cast<QLabel *>(w);
        return l && l->pixmap().isNull();
    }
    case Kind::Bar:
        return qobject_cast<TextProgressBar *>(w);
    }
    return false;
}

// The window drawn into an image, as the screen would show it.
QImage render(QWidget &window)
{
    return window.grab().toImage().convertToFormat(QImage::Format_RGB32);
}

// Pixels of the word drawn over the bar: black, softened at the edges.
int countDark(const QImage &image, const QRect &area)
{
    int n = 0;
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x) {
            const QColor c(image.pixel(x, y));
            n += c.red() < 80 && c.green() < 80 && c.blue() < 80;
        }
    return n;
}

int countPixels(const QImage &image, const QRect &area, const QColor &colour)
{
    int n = 0;
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x)
            n += QColor(image.pixel(x, y)) == colour;
    return n;
}

} // namespace

class WindowLayoutTest : public QObject {
    Q_OBJECT
private slots:
    void controlsStandAsLaidOut();
    void tabOrderRunsThroughTheTable();
    void windowIsFixedAndHidesTheServiceArea();
    void everyCaptionFits();
    void stateAtCreationAndAfterStartUp();
    void addressFileFallsBackToTheDefault();
    void picturesAndIcon();
    void statusBarPaintsValueColourAndWord();
    void replyViewsAndClear();
    void linkIndicatorTiming();
    void addressButtonsEditAndSave();
    void connectFailureShowsErrorBox();
    void fileFilterForQt();
    void realDialogs();
};

void WindowLayoutTest::controlsStandAsLaidOut()
{
    WindowFixture f;
    MainWindow &w = *f.window;
    QCOMPARE(w.objectName(), QStringLiteral("UP_config"));
    QCOMPARE(w.windowTitle(), QStringLiteral("Corvanel V4"));
    const int dpiX = w.logicalDpiX();
    const int dpiY = w.logicalDpiY();
    for (const Row &row : kRows) {
        QWidget *control = w.findChild<QWidget *>(QLatin1StringView(row.name));
        QVERIFY2(control, row.name);
        QVERIFY2(isKind(control, row.kind), row.name);
        QWidget *container = row.container
                                 ? w.findChild<QWidget *>(QLatin1StringView(row.container))
                                 : static_cast<QWidget *>(&w);
        QVERIFY2(control->parentWidget() == container, row.name);
        const QRect expected(twipsToPixels(row.left, dpiX), twipsToPixels(row.top, dpiY),
                             twipsToPixels(row.width, dpiX), twipsToPixels(row.height, dpiY));
        QCOMPARE(control->geometry(), expected);
        if (row.caption)
            QCOMPARE(captionOf(control), QString::fromLatin1(row.caption));
        if (row.kind == Kind::Frame || row.kind == Kind::Label || row.kind == Kind::Bar ||
            row.kind == Kind::Picture)
            QVERIFY2(control->focusPolicy() == Qt::NoFocus, row.name);
    }
    // At 96 dpi the client area is 330 x 130 pixels.
    QCOMPARE(twipsToPixels(kClientWidthTwips, 96), 330);
    QCOMPARE(twipsToPixels(kClientHeightTwips, 96), 130);

    // Command3 and the bar are drawn above the frames they lie over.
    const QObjectList &children = w.children();
    const auto at = [&](const char *name) {
        return children.indexOf(w.findChild<QObject *>(QLatin1StringView(name)));
    };
    QVERIFY(at("Command3") > at("Frame8"));
    QVERIFY(at("vbalProgressBar1") > at("Frame1"));

    // The two timers, at their intervals.
    auto *timer1 = w.findChild<QTimer *>(QStringLiteral("Timer1"));
    auto *timer2 = w.findChild<QTimer *>(QStringLiteral("Timer2"));
    QVERIFY(timer1 && timer2);
    QCOMPARE(timer1->interval(), 500);
    QCOMPARE(timer2->interval(), 500);
    QVERIFY(w.findChild<QObject *>(QStringLiteral("Winsock1")));
}

void WindowLayoutTest::tabOrderRunsThroughTheTable()
{
    WindowFixture f;
    MainWindow &w = *f.window;
    // Numbers 0 to 24 without gaps, frames and labels included.
    QList<int> numbers;
    for (const Row &row : kRows) {
        QWidget *control = w.findChild<QWidget *>(QLatin1StringView(row.name));
        if (row.tabIndex >= 0) {
            QCOMPARE(control->property("tabIndex").toInt(), row.tabIndex);
            numbers.append(row.tabIndex);
        }
    }
    std::sort(numbers.begin(), numbers.end());
    for (int i = 0; i < numbers.size(); ++i)
        QCOMPARE(numbers.at(i), i);
    QCOMPARE(numbers.size(), 25);

    // The focus rests on Text20 when the window opens.
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    w.activateWindow();
    QTRY_COMPARE_WITH_TIMEOUT(w.focusWidget() ? w.focusWidget()->objectName() : QString(),
                              QStringLiteral("Text20"), 2000);

    // The Tab key walks the focusable controls in table order and back round
    // to Text20; Shift+Tab walks them backwards. Command3 is enabled for the
    // walk, as it is while connected.
    w.display().SetOpenFileEnabled(true);
    const QStringList expected = {
        "Text20",  "Text8",         "Text1",         "Text5",       "Text6",
        "Text2",   "cbBind",        "ComboRemoteIP", "Add_ip",      "Del_ip",
        "SaveIP",  "tbRemotePort",  "tbLocalPort",   "tbReceiveData", "Command3",
        "Command4", "Command5",     "Text3",         "Command9",    "Text20"};
    const auto walk = [&](Qt::Key key) {
        QStringList walked;
        for (qsizetype i = 0; i < expected.size(); ++i) {
            QWidget *focus = QApplication::focusWidget();
            walked << (focus ? focus->objectName() : QString());
            if (i + 1 < expected.size())
                QTest::keyClick(focus ? focus : &w, key);
        }
        return walked;
    };
    QCOMPARE(walk(Qt::Key_Tab), expected);
    QStringList backwards = expected;
    std::reverse(backwards.begin(), backwards.end());
    QCOMPARE(walk(Qt::Key_Backtab), backwards);
    // Tab moved the focus and typed nothing.
    QCOMPARE(f.control<QPlainTextEdit>("Text20")->toPlainText(), QString());
}

void WindowLayoutTest::windowIsFixedAndHidesTheServiceArea()
{
    WindowFixture f;
    MainWindow &w = *f.window;
    const QSize client(twipsToPixels(kClientWidthTwips, w.logicalDpiX()),
                       twipsToPixels(kClientHeightTwips, w.logicalDpiY()));
    QCOMPARE(w.size(), client);
    QCOMPARE(w.minimumSize(), client);
    QCOMPARE(w.maximumSize(), client);
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    w.resize(client * 2);
    QCOMPARE(w.size(), client);
    // Everything of the service area lies below the client area.
    for (const char *name : {"Text8", "Command4", "Command9", "tbReceiveData", "Label37", "Label36",
                             "tbRemotePort", "tbLocalPort", "Text5", "Text1", "Text6", "Text2",
                             "Text20"}) {
        QWidget *control = w.findChild<QWidget *>(QLatin1StringView(name));
        QVERIFY2(control->geometry().top() >= w.height(), name);
        QVERIFY2(!control->isHidden(), name);
    }
}

void WindowLayoutTest::everyCaptionFits()
{
    WindowFixture f;
    MainWindow &w = *f.window;
    const int buttonMargin = w.style()->pixelMetric(QStyle::PM_ButtonMargin) +
                             2 * w.style()->pixelMetric(QStyle::PM_DefaultFrameWidth);
    const auto fits = [](QWidget *control, const QString &caption, int margin) {
        const int needed = QFontMetrics(control->font()).horizontalAdvance(caption) + margin;
        if (needed > control->width())
            qWarning("%s: \"%s\" needs %d px, has %d", qPrintable(control->objectName()),
                     qPrintable(caption), needed, control->width());
        return needed <= control->width();
    };
    for (QPushButton *button : w.findChildren<QPushButton *>())
        QVERIFY(fits(button, button->text(), buttonMargin));
    QVERIFY(fits(f.button("cbBind"), QStringLiteral("Disconnect"), buttonMargin));
    for (const char *name : {"Label36", "Label37"}) {
        auto *label = w.findChild<QLabel *>(QLatin1StringView(name));
        QVERIFY(fits(label, label->text(), 0));
    }
    for (QGroupBox *frame : w.findChildren<QGroupBox *>())
        QVERIFY(fits(frame, frame->title(), 16));
    // Every status word fits the bar, in the bar's own font.
    for (QLatin1StringView word : {status::kNoFile, status::kReady, status::kDownload,
                                   status::kVerify, status::kEnd, status::kError})
        QVERIFY(fits(f.bar(), QString(word), 4));
    // The captions are still an 8-point class dialog font, tall enough to read.
    const QFontInfo info(f.button("Command3")->font());
    QVERIFY2(info.pointSizeF() >= 6.5 && info.pointSizeF() <= 9, qPrintable(info.family()));
    QVERIFY(QFontMetrics(f.button("Command3")->font()).height() <= f.button("Command3")->height());

    // The fitting itself: a font far too wide for its room is narrowed until it fits.
    QFont wide = baseDialogFont();
    wide.setPointSizeF(12);
    const QList<CaptionRoom> rooms{{QStringLiteral("Open File and  Download"), 137, 8}};
    const QFont narrowed = fitCaptions(wide, rooms);
    QVERIFY(QFontMetrics(narrowed).horizontalAdvance(rooms.first().caption) + 8 <= 137);
}

void WindowLayoutTest::stateAtCreationAndAfterStartUp()
{
    WindowFixture f("127.0.0.9\r\n127.0.0.1\r\n");
    MainWindow &w = *f.window;

    // Before the load event.
    QVERIFY(!w.started());
    QCOMPARE(f.combo()->count(), 0);
    QCOMPARE(f.combo()->currentText(), QString());
    QCOMPARE(f.button("cbBind")->text(), QStringLiteral("Connect"));
    QVERIFY(!f.button("Command3")->isEnabled());
    for (const char *name : {"cbBind", "Command5", "Add_ip", "Del_ip", "SaveIP", "Command4", "Command9"})
        QVERIFY2(f.button(name)->isEnabled(), name);
    QVERIFY(!w.link().inquiryTimer()->isActive());
    auto *timer1 = w.findChild<QTimer *>(QStringLiteral("Timer1"));
    QVERIFY(timer1->isActive());
    QVERIFY(f.control<QLabel>("YesConnect")->isHidden());
    QVERIFY(!f.control<QLabel>("NoConnect")->isHidden());
    QCOMPARE(f.bar()->text(), QStringLiteral("NO FILE"));
    QCOMPARE(f.bar()->colourValue(), colour::kBlue);
    QCOMPARE(f.bar()->barColour(), QColor(0, 0, 255));
    // The bar's own font: "MS Sans Serif" 8.25 points or its stand-in, plain.
    const QFont barFont = f.bar()->font();
    QCOMPARE(barFont.families().value(0), QStringLiteral("MS Sans Serif"));
    QCOMPARE(barFont.pointSizeF(), 8.25);
    QCOMPARE(barFont.weight(), QFont::Normal);
    QVERIFY(!barFont.italic() && !barFont.underline() && !barFont.strikeOut());
    // Narrowing the dialog font so that the captions fit leaves the bar's own font alone.
    QFont narrowed = w.font();
    narrowed.setStretch(80);
    w.setFont(narrowed);
    QCOMPARE(f.bar()->font().stretch(), int(QFont::Unstretched));
    QCOMPARE(f.bar()->font().pointSizeF(), 8.25);
    QVERIFY(f.bar()->barRect().isEmpty());
    QCOMPARE(f.line("tbLocalPort")->text(), QString());
    QCOMPARE(f.line("tbRemotePort")->text(), QString());
    QCOMPARE(f.line("Text3")->text(), QString());
    QCOMPARE(f.view("Text8")->bytes(), QByteArray());
    QCOMPARE(f.view("tbReceiveData")->bytes(), QByteArray());
    QVERIFY(!w.link().isOpen());
    QCOMPARE(w.state().connected, 0);
    QCOMPARE(w.state().linkActivity, 50);
    QCOMPARE(w.state().imageLoaded, 0);

    // The load event, on the first show.
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    QVERIFY(w.started());
    QCOMPARE(f.combo()->count(), 2);
    QCOMPARE(f.combo()->itemText(0), QStringLiteral("127.0.0.9"));
    QCOMPARE(f.combo()->currentIndex(), 0);
    QCOMPARE(f.combo()->currentText(), QStringLiteral("127.0.0.9"));
    bool isNumber = false;
    const int localPort = f.line("tbLocalPort")->text().toInt(&isNumber);
    QVERIFY(isNumber);
    QVERIFY(localPort >= 5500 && localPort <= 6499);
    QCOMPARE(f.line("tbRemotePort")->text(), QStringLiteral("111"));
    QCOMPARE(w.state().connected, 0);
    QCOMPARE(w.state().linkActivity, 50);
    // Start-up opens nothing and sends nothing; only the load event reads the file.
    QVERIFY(!w.link().isOpen());
    QVERIFY(!w.link().inquiryTimer()->isActive());
    QCOMPARE(f.arpFlushes, 0);
    w.StartWindow(); // runs once only
    QCOMPARE(f.combo()->count(), 2);

    // What the operator sees: "NO FILE" in black on an empty bar, the no-link picture.
    const QImage image = render(w);
    const QRect barArea = f.bar()->geometry().adjusted(2, 2, -2, -2);
    QCOMPARE(countPixels(image, barArea, QColor(0, 0, 255)), 0);
    QVERIFY(countDark(image, barArea) > 20);
}

void WindowLayoutTest::addressFileFallsBackToTheDefault()
{
    WindowFixture f{QByteArray()}; // no file at all
    f.window->StartWindow();
    QCOMPARE(f.combo()->count(), 1);
    QCOMPARE(f.combo()->currentText(), QStringLiteral("192.168.1.25")); // the default
    QVERIFY(f.prompts.boxes.isEmpty());
    // The window was never connected, so nothing could have gone to that address.
    QVERIFY(!f.window->link().isOpen());
}

void WindowLayoutTest::picturesAndIcon()
{
    WindowFixture f;
    MainWindow &w = *f.window;
    const QImage icon = w.windowIcon().pixmap(24, 24).toImage();
    QCOMPARE(icon.size(), QSize(24, 24));
    QVERIFY(icon.hasAlphaChannel());
    int orange = 0, grey = 0, clear = 0;
    for (int y = 0; y < 24; ++y)
        for (int x = 0; x < 24; ++x) {
            const QColor c = icon.pixelColor(x, y);
            if (c.alpha() == 0) {
                ++clear;
                continue;
            }
            if (c.red() > 200 && c.green() > 100 && c.green() < 180 && c.blue() < 60)
                ++orange;
            else if (qAbs(c.red() - c.green()) < 12 && qAbs(c.green() - c.blue()) < 12)
                ++grey;
        }
    QVERIFY(orange > 20); // the screwdriver's handle
    QVERIFY(grey > 40);   // the wrench and the blade
    QVERIFY(clear > 150); // transparent around the tools

    const int size = twipsToPixels(480, w.logicalDpiX());
    const QImage yes = f.control<QLabel>("YesConnect")->pixmap().toImage();
    const QImage no = f.control<QLabel>("NoConnect")->pixmap().toImage();
    QCOMPARE(yes.size(), QSize(size, size));
    QCOMPARE(no.size(), QSize(size, size));
    const auto count = [](const QImage &image, const QColor &colour) {
        int n = 0;
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x)
                n += image.pixelColor(x, y) == colour;
        return n;
    };
    // Lit blue screen and cyan lamp against a black screen and grey lamp.
    QVERIFY(count(yes, QColor(0, 0, 255)) > 100);
    QCOMPARE(count(no, QColor(0, 0, 255)), 0);
    QVERIFY(count(no, QColor(0, 0, 0)) > 100);
    QVERIFY(count(yes, QColor(0, 255, 255)) > 0);
    QVERIFY(yes.pixelColor(0, 0).alpha() == 0 && no.pixelColor(0, 0).alpha() == 0);
}

void WindowLayoutTest::statusBarPaintsValueColourAndWord()
{
    // The platform's 0x00BBGGRR values as real colours.
    QCOMPARE(TextProgressBar::colourFromBgr(colour::kBlue), QColor(0, 0, 255));
    QCOMPARE(TextProgressBar::colourFromBgr(colour::kNavy), QColor(0, 0, 128));
    QCOMPARE(TextProgressBar::colourFromBgr(colour::kRed), QColor(255, 0, 0));
    QCOMPARE(TextProgressBar::colourFromBgr(colour::kGreen), QColor(0, 255, 0));

    WindowFixture f;
    MainWindow &w = *f.window;
    StatusDisplay &display = w.display();
    TextProgressBar *bar = f.bar();
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    const QRect inside = bar->geometry().adjusted(2, 2, -2, -2);

    display.SetBarMaximum(0);
    display.SetBarValue(5);
    QCOMPARE(bar->value(), 5); // kept as set
    QCOMPARE(countPixels(render(w), inside, QColor(0, 0, 255)), 0);

    display.SetBarMaximum(10);
    display.SetBarValue(5);
    display.SetBarColour(colour::kGreen);
    display.ShowStatus(status::kDownload);
    QImage image = render(w);
    const int half = countPixels(image, inside, QColor(0, 255, 0));
    QVERIFY(half > inside.width() * inside.height() / 3);
    QVERIFY(half < inside.width() * inside.height() * 2 / 3);
    QCOMPARE(bar->text(), QStringLiteral("DOWNLOAD"));

    // A value past the maximum is drawn full, and kept as set.
    display.SetBarValue(25);
    QCOMPARE(bar->value(), 25);
    image = render(w);
    const int full = countPixels(image, inside, QColor(0, 255, 0));
    QVERIFY(full > inside.width() * inside.height() * 3 / 4);
    // The word is drawn over the bar in black.
    QVERIFY(countDark(image, inside) > 20);

    display.SetBarValue(-3);
    QCOMPARE(countPixels(render(w), inside, QColor(0, 255, 0)), 0);
}

void WindowLayoutTest::replyViewsAndClear()
{
    WindowFixture f;
    StatusDisplay &display = f.window->display();

    // Trailing spaces stay in tbReceiveData and Text3, not in Text8.
    display.ShowReply(QByteArrayView("OK  \r\n  "));
    QCOMPARE(f.view("tbReceiveData")->bytes(), QByteArray("OK  \r\n  "));
    QCOMPARE(f.line("Text3")->text(), QStringLiteral("OK  \r\n  "));
    QCOMPARE(f.view("Text8")->bytes(), QByteArray("OK  \r\n"));

    // A reply ending in CR LF keeps it in all three.
    display.ShowReply(QByteArrayView("DOWNLOAD\r\n"));
    QCOMPARE(f.view("tbReceiveData")->bytes(), QByteArray("DOWNLOAD\r\n"));
    QCOMPARE(f.line("Text3")->text(), QStringLiteral("DOWNLOAD\r\n"));
    QCOMPARE(f.view("Text8")->bytes(), QByteArray("DOWNLOAD\r\n"));

    // Bytes above 127 are shown as Latin-1 and kept as they came.
    const QByteArray high("VER=\xE9\xFF\x01 ");
    display.ShowReply(high);
    QCOMPARE(f.view("tbReceiveData")->bytes(), high);
    QCOMPARE(f.line("Text3")->text(), QString::fromLatin1(high));
    QCOMPARE(f.view("Text8")->text(), QString::fromLatin1(high.chopped(1)));
    QCOMPARE(f.line("Text3")->text().at(4), QChar(0xE9));

    // "CLR" clears Text3 only.
    QVERIFY(f.click("Command9"));
    QCOMPARE(f.line("Text3")->text(), QString());
    QCOMPARE(f.view("tbReceiveData")->bytes(), high);
    QCOMPARE(f.view("Text8")->bytes(), high.chopped(1));

    // The views draw what they hold and scroll over long replies.
    ReplyView *view = f.view("tbReceiveData");
    QByteArray many;
    for (int i = 0; i < 40; ++i)
        many += "line " + QByteArray::number(i) + " " + QByteArray(100, 'x') + "\r\n";
    display.ShowReply(many);
    view->resize(view->size()); // measured lazily, as painting would
    const QImage image = view->grab().toImage();
    QVERIFY(!image.isNull());
    QVERIFY(view->verticalScrollBar()->maximum() > 30);
    QVERIFY(view->horizontalScrollBar()->maximum() > 0);
}

void WindowLayoutTest::linkIndicatorTiming()
{
    WindowFixture f;
    MainWindow &w = *f.window;
    w.StartWindow();
    auto *timer1 = w.findChild<QTimer *>(QStringLiteral("Timer1"));
    auto *yes = f.control<QLabel>("YesConnect");
    auto *no = f.control<QLabel>("NoConnect");
    const auto tick = [&] { QVERIFY(QMetaObject::invokeMethod(timer1, "timeout")); };
    const auto alive = [&] { return !yes->isHidden() && no->isHidden(); };
    const auto dead = [&] { return yes->isHidden() && !no->isHidden(); };

    // After start the counter stays at 50 and the no-link picture shows.
    for (int i = 0; i < 3; ++i) {
        tick();
        QCOMPARE(w.state().linkActivity, 50);
        QVERIFY(dead());
    }

    // A reply, then silence: 49 ticks of link-alive, then no-link.
    emit w.link().datagramArrived(QByteArray("VER=1.0\r\n"));
    QCOMPARE(w.state().linkActivity, 1);
    for (int i = 1; i <= 49; ++i) {
        tick();
        QVERIFY2(alive(), qPrintable(QString::number(i)));
    }
    tick();
    QVERIFY(dead());
    QCOMPARE(w.state().linkActivity, 50);

    // A device that keeps answering keeps the picture lit.
    for (int i = 0; i < 120; ++i) {
        if (i % 2 == 0)
            emit w.link().datagramArrived(QByteArray("VER=1.0\r\n"));
        tick();
        QVERIFY(alive());
    }
    QVERIFY(f.checkLoopback());
}

void WindowLayoutTest::addressButtonsEditAndSave()
{
    WindowFixture f;
    f.window->StartWindow();
    QComboBox *box = f.combo();
    QCOMPARE(box->count(), 1);
    box->setEditText(QStringLiteral("127.0.0.2"));
    QVERIFY(f.click("Add_ip"));
    QCOMPARE(box->count(), 2);
    QCOMPARE(box->itemText(1), QStringLiteral("127.0.0.2"));
    box->setCurrentIndex(0);
    QVERIFY(f.click("Del_ip"));
    QCOMPARE(box->count(), 1);
    QVERIFY(f.click("SaveIP"));
    QFile file(f.addressPath());
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), QByteArray("127.0.0.2\r\n"));
    QVERIFY(f.prompts.boxes.isEmpty());
}

void WindowLayoutTest::connectFailureShowsErrorBox()
{
    WindowFixture f;
    MainWindow &w = *f.window;
    w.StartWindow();
    f.combo()->setEditText(QStringLiteral("127.0.0.1"));
    f.line("tbRemotePort")->setText(QStringLiteral("port"));
    f.line("tbLocalPort")->setText(QStringLiteral("0"));
    QVERIFY(f.click("cbBind"));
    QCOMPARE(f.prompts.errors.size(), 1);
    QVERIFY(f.prompts.boxes.first().startsWith(QStringLiteral("Error#")));
    QVERIFY(f.prompts.errors.first().text.contains(QStringLiteral("port")));
    // The window stays usable: not connected, caption "Connect", Open disabled.
    QVERIFY(!w.link().isOpen());
    QCOMPARE(w.state().connected, 0);
    QCOMPARE(f.button("cbBind")->text(), QStringLiteral("Connect"));
    QVERIFY(!f.button("Command3")->isEnabled());
    QVERIFY(!w.link().inquiryTimer()->isActive());
}

void WindowLayoutTest::fileFilterForQt()
{
    QCOMPARE(QtPrompts::qtFileFilter(QStringLiteral("HEX files (*.hex)|*.hex")),
             QStringLiteral("HEX files (*.hex)"));
    QCOMPARE(QtPrompts::qtFileFilter(QStringLiteral("Images|*.hex;*.ihx|All files (*.*)|*.*")),
             QStringLiteral("Images (*.hex *.ihx);;All files (*.*)"));
}

void WindowLayoutTest::realDialogs()
{
    QWidget parent;
    QtPrompts prompts(&parent);
    // Each dialog is answered from the event loop once it is up.
    QString title, text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QList<QAbstractButton *> buttons;
    const auto answerBox = [&] {
        QTimer::singleShot(0, [&] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            if (!box)
                return;
            title = box->windowTitle();
            text = box->text();
            icon = box->icon();
            buttons = box->buttons();
            QCOMPARE(box->standardButtons(), QMessageBox::Ok);
            box->accept();
        });
    };
    answerBox();
    prompts.showCancelled();
    QCOMPARE(title, QStringLiteral("Corvanel"));
    QCOMPARE(text, QStringLiteral("Cancel"));
    QCOMPARE(icon, QMessageBox::NoIcon);
    QCOMPARE(buttons.size(), 1);

    answerBox();
    prompts.showError({53, QStringLiteral("File not found: \"x.hex\"")});
    QCOMPARE(title, QStringLiteral("Error#53"));
    QCOMPARE(text, QStringLiteral("File not found: \"x.hex\""));
    QCOMPARE(icon, QMessageBox::Critical);

    QStringList filters;
    QTimer::singleShot(0, [&] {
        auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
        if (!dialog)
            return;
        filters = dialog->nameFilters();
        dialog->reject();
    });
    QCOMPARE(prompts.askOpenFileName(QStringLiteral("HEX files (*.hex)|*.hex")), QString());
    QCOMPARE(filters, QStringList{QStringLiteral("HEX files (*.hex)")});
}

QTEST_MAIN(WindowLayoutTest)
#include "test_window_layout.moc"

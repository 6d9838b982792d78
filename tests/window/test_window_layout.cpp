// The window as laid out: every control's name, kind, container, caption and
// place, the tab order, the fixed size and fitting captions, the state at
// creation and after start-up, the status bar and reply views as drawn, the
// link indicator, and the real dialogs.

#include "window/error_box.h"
#include "window_test_support.h"

#include "window/dialog_font.h"
#include "window/qt_prompts.h"
#include "window/status_display.h"
#include "window/window_geometry.h"

#include <QApplication>
#include <QFileDialog>
#include <QGroupBox>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QStyle>

#include <algorithm>
#include <map>

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
    {controls::kLinkFrame, Kind::Frame, nullptr, "Link Ethernet", 0, 0, 4935, 975, 8},
    {controls::kAddressBox, Kind::Combo, controls::kLinkFrame, "", 120, 240, 2055, 315, 10},
    {controls::kLinkAliveImage, Kind::Picture, controls::kLinkFrame, nullptr, 2220, 240, 480, 480,
     -1},
    {controls::kNoLinkImage, Kind::Picture, controls::kLinkFrame, nullptr, 2220, 360, 480, 480, -1},
    {controls::kLinkButton, Kind::Button, controls::kLinkFrame, "Connect", 2820, 240, 1155, 255, 9},
    {controls::kInstallButton, Kind::Button, controls::kLinkFrame, "Install", 4080, 240, 735, 255,
     22},
    {controls::kAddAddressButton, Kind::Button, controls::kLinkFrame, "Add", 120, 600, 615, 255,
     11},
    {controls::kDeleteAddressButton, Kind::Button, controls::kLinkFrame, "Del", 840, 600, 615, 255,
     12},
    {controls::kSaveAddressesButton, Kind::Button, controls::kLinkFrame, "Save", 1560, 600, 615,
     255, 13},
    {controls::kOpenFileButton, Kind::Button, nullptr, "Open File and  Download", 2760, 600, 2055,
     255, 19},
    {controls::kStatusFrame, Kind::Frame, nullptr, "Status", 0, 960, 4935, 975, 5},
    {controls::kStatusBar, Kind::Bar, nullptr, "NO FILE", 120, 1200, 4695, 255, 21},
    {controls::kReplyLine, Kind::LineBox, controls::kStatusFrame, "", 120, 600, 4695, 285, 23},
    {controls::kStatusFrameMark, Kind::Label, controls::kStatusFrame, "Label14", 1920, 960, 135, 15,
     7},
    {controls::kClassifiedReplyView, Kind::MultiBox, nullptr, "", 0, 2280, 4875, 975, 1},
    {controls::kSendButton, Kind::Button, nullptr, "Send", 60, 3360, 795, 255, 20},
    {controls::kClearReplyButton, Kind::Button, nullptr, "CLR", 1980, 3360, 615, 255, 24},
    {controls::kReceivedReplyView, Kind::MultiBox, nullptr, "", 0, 5520, 4815, 975, 18},
    {controls::kRemotePortLabel, Kind::Label, nullptr, "Remote-Port", 180, 6720, 975, 255, 16},
    {controls::kLocalPortLabel, Kind::Label, nullptr, "Local-Port", 1260, 6720, 855, 255, 17},
    {controls::kRemotePortBox, Kind::LineBox, nullptr, "", 180, 6960, 975, 285, 14},
    {controls::kLocalPortBox, Kind::LineBox, nullptr, "", 1140, 6960, 975, 285, 15},
    {controls::kSpareBox1, Kind::LineBox, nullptr, "Text5", 900, 8400, 1335, 285, 3},
    {controls::kSpareBox2, Kind::LineBox, nullptr, "Text1", 2460, 8400, 735, 285, 2},
    {controls::kSpareBox3, Kind::LineBox, nullptr, "Text6", 3300, 8400, 495, 285, 4},
    {controls::kSpareBox4, Kind::LineBox, nullptr, "text2", 900, 8640, 1095, 285, 6},
    {controls::kFirstFocusBox, Kind::MultiBox, nullptr, "", 60, 9120, 4395, 975, 0},
};

// Frames, labels, pictures and the bar never take the focus.
bool takesFocus(Kind kind)
{
    return kind != Kind::Frame && kind != Kind::Label && kind != Kind::Picture && kind != Kind::Bar;
}

QString captionOf(QWidget *w)
{
    if (auto *v = qobject_cast<ReplyView *>(w))
        return v->text();
    if (auto *bar = qobject_cast<TextProgressBar *>(w))
        return bar->text();
    for (const char *property : {"text", "title", "currentText", "plainText"}) {
        if (const QVariant value = w->property(property); value.isValid())
            return value.toString();
    }
    return {};
}

bool isKind(QWidget *w, Kind kind)
{
    auto *label = qobject_cast<QLabel *>(w);
    auto *combo = qobject_cast<QComboBox *>(w);
    auto *area = qobject_cast<QAbstractScrollArea *>(w);
    switch (kind) {
    case Kind::Frame:
        return qobject_cast<QGroupBox *>(w);
    case Kind::Combo: // editable, and never rewrites what the operator types
        return combo && combo->isEditable() && combo->insertPolicy() == QComboBox::NoInsert;
    case Kind::Picture:
        return label && !label->pixmap().isNull();
    case Kind::Label:
        return label && label->pixmap().isNull();
    case Kind::Button:
        return qobject_cast<QPushButton *>(w);
    case Kind::LineBox:
        return qobject_cast<QLineEdit *>(w);
    case Kind::MultiBox:
        return area && area->horizontalScrollBarPolicy() == Qt::ScrollBarAlwaysOn &&
               area->verticalScrollBarPolicy() == Qt::ScrollBarAlwaysOn;
    case Kind::Bar:
        return qobject_cast<TextProgressBar *>(w);
    }
    return false;
}

} // namespace

class WindowLayoutTest : public QObject {
    Q_OBJECT
private slots:
    void controlsStandAsLaidOut();
    void tabWalksTheTableOrder();
    void fixedSizeAndCaptionsFit();
    void stateAtCreationAndAfterStartUp();
    void statusBarDrawsValueColourAndWord();
    void replyViewsAndClear();
    void linkIndicatorTiming();
    void addressButtonsAndBadPort();
    void realDialogs();
};

void WindowLayoutTest::controlsStandAsLaidOut()
{
    WindowFixture f;
    MainWindow &w = *f.window;
    QCOMPARE(w.objectName(), QLatin1StringView(controls::kWindow));
    QCOMPARE(w.windowTitle(), QStringLiteral("Corvanel V4"));
    QVERIFY(!w.windowIcon().isNull());
    for (const Row &row : kRows) {
        QWidget *control = f.control(row.name);
        QVERIFY2(control && isKind(control, row.kind), row.name);
        QWidget *container = row.container ? f.control(row.container) : &w;
        QVERIFY2(control->parentWidget() == container, row.name);
        const auto px = [&](int twips, int dpi) { return twipsToPixels(twips, dpi); };
        QCOMPARE(control->geometry(),
                 QRect(px(row.left, w.logicalDpiX()), px(row.top, w.logicalDpiY()),
                       px(row.width, w.logicalDpiX()), px(row.height, w.logicalDpiY())));
        if (row.caption)
            QCOMPARE(captionOf(control), QString::fromLatin1(row.caption));
        QVERIFY2((control->focusPolicy() == Qt::NoFocus) == !takesFocus(row.kind), row.name);
    }
    // At 96 dpi the client area is 330 x 130 pixels.
    QCOMPARE(QSize(twipsToPixels(kClientWidthTwips, 96), twipsToPixels(kClientHeightTwips, 96)),
             QSize(330, 130));
    // The two link pictures can be told apart and fill their place.
    const QImage yes = f.control<QLabel>(controls::kLinkAliveImage)->pixmap().toImage();
    QCOMPARE(yes.size(), f.control(controls::kLinkAliveImage)->size());
    QVERIFY(yes != f.control<QLabel>(controls::kNoLinkImage)->pixmap().toImage());

    // Command3 and the bar are drawn above the frames they lie over.
    const auto z = [&](const char *name) { return w.children().indexOf(f.control(name)); };
    QVERIFY(z(controls::kOpenFileButton) > z(controls::kLinkFrame));
    QVERIFY(z(controls::kStatusBar) > z(controls::kStatusFrame));
    QCOMPARE(f.timer1()->interval(), 500);
    QCOMPARE(w.findChild<QTimer *>(QLatin1StringView(controls::kInquiryTimer))->interval(), 500);
    QVERIFY(w.findChild<QObject *>(QLatin1StringView(controls::kSocket)));
}

void WindowLayoutTest::tabWalksTheTableOrder()
{
    WindowFixture f;
    QVERIFY(f.show());
    f.window->activateWindow();
    // The focus rests on Text20 when the window opens.
    const auto focused = [] {
        return QApplication::focusWidget() ? QApplication::focusWidget()->objectName() : QString();
    };
    QTRY_COMPARE_WITH_TIMEOUT(focused(), QLatin1StringView(controls::kFirstFocusBox), 2000);

    // Tab walks the controls that take the focus by their tab index and back
    // round to Text20; Shift+Tab walks them backwards. Command3 is enabled
    // for the walk, as it is while connected.
    f.window->display().allowOpenFile(true);
    std::map<int, QString> byTabIndex;
    for (const Row &row : kRows) {
        if (row.tabIndex >= 0 && takesFocus(row.kind))
            byTabIndex[row.tabIndex] = QString::fromLatin1(row.name);
    }
    QStringList expected;
    for (const auto &[index, name] : byTabIndex)
        expected << name;
    expected << expected.first();
    QCOMPARE(expected.size(), 20);
    const auto walk = [&](Qt::Key key) {
        QStringList walked{focused()};
        while (walked.size() < expected.size()) {
            QTest::keyClick(QApplication::focusWidget(), key);
            walked << focused();
        }
        return walked;
    };
    QCOMPARE(walk(Qt::Key_Tab), expected);
    std::reverse(expected.begin(), expected.end());
    QCOMPARE(walk(Qt::Key_Backtab), expected);
    // Tab moved the focus and typed nothing.
    QCOMPARE(f.control<QPlainTextEdit>(controls::kFirstFocusBox)->toPlainText(), QString());
}

void WindowLayoutTest::fixedSizeAndCaptionsFit()
{
    WindowFixture f;
    MainWindow &w = *f.window;
    const QSize client(twipsToPixels(kClientWidthTwips, w.logicalDpiX()),
                       twipsToPixels(kClientHeightTwips, w.logicalDpiY()));
    QCOMPARE(w.size(), client);
    QCOMPARE(w.minimumSize(), client);
    QCOMPARE(w.maximumSize(), client);
    QVERIFY(f.show());
    w.resize(client * 2);
    QCOMPARE(w.size(), client);

    const auto fits = [](QWidget *control, const QString &caption, int margin) {
        const int needed = QFontMetrics(control->font()).horizontalAdvance(caption) + margin;
        if (needed > control->width())
            qWarning("%s: \"%s\" needs %d px, has %d", qPrintable(control->objectName()),
                     qPrintable(caption), needed, control->width());
        return needed <= control->width();
    };
    const int buttonMargin = w.style()->pixelMetric(QStyle::PM_ButtonMargin) +
                             2 * w.style()->pixelMetric(QStyle::PM_DefaultFrameWidth);
    for (QPushButton *button : w.findChildren<QPushButton *>())
        QVERIFY(fits(button, button->text(), buttonMargin));
    QVERIFY(fits(f.button(controls::kLinkButton), QStringLiteral("Disconnect"), buttonMargin));
    for (const char *name : {controls::kLocalPortLabel, controls::kRemotePortLabel})
        QVERIFY(fits(f.control(name), f.control<QLabel>(name)->text(), 0));
    for (QGroupBox *frame : w.findChildren<QGroupBox *>())
        QVERIFY(fits(frame, frame->title(), 16));
    for (QLatin1StringView word : {status::kNoFile, status::kReady, status::kDownload,
                                   status::kVerify, status::kEnd, status::kError})
        QVERIFY(fits(f.bar(), QString(word), 4)); // in the bar's own font
    // Still an 8-point class dialog font, tall enough to read.
    const QFont font = f.button(controls::kOpenFileButton)->font();
    QVERIFY2(QFontInfo(font).pointSizeF() >= 6.5 && QFontInfo(font).pointSizeF() <= 9,
             qPrintable(QFontInfo(font).family()));
    QVERIFY(QFontMetrics(font).height() <= f.button(controls::kOpenFileButton)->height());

    // A font far too wide for its room is narrowed until it fits.
    QFont wide = baseDialogFont();
    wide.setPointSizeF(12);
    const QString caption = QStringLiteral("Open File and  Download");
    QVERIFY(QFontMetrics(fitCaptions(wide, {{caption, 137, 8}})).horizontalAdvance(caption) + 8 <=
            137);
}

void WindowLayoutTest::stateAtCreationAndAfterStartUp()
{
    WindowFixture f("127.0.0.9\r\n127.0.0.1\r\n");
    MainWindow &w = *f.window;

    // Before the load event (the captions are checked against the layout).
    QVERIFY(!w.started());
    QCOMPARE(f.combo()->count(), 0);
    for (QPushButton *button : w.findChildren<QPushButton *>())
        QVERIFY2(button->isEnabled() == (button->objectName() != controls::kOpenFileButton),
                 qPrintable(button->objectName()));
    QVERIFY(f.timer1()->isActive());
    QVERIFY(!w.inquiryTimer()->isActive());
    QVERIFY(!w.link().isOpen());
    QVERIFY(!f.linkAliveShown() && !f.control(controls::kNoLinkImage)->isHidden());
    QCOMPARE(f.bar()->colourValue(), colour::kBlue);
    QCOMPARE(f.bar()->barColour(), QColor(0, 0, 255));
    QVERIFY(f.bar()->barRect().isEmpty());
    QCOMPARE(w.state().connected, 0);
    QCOMPARE(w.state().linkActivity, 50);
    QCOMPARE(w.state().imageLoaded, 0);
    // The bar's own font, "MS Sans Serif" 8.25 points or its stand-in, plain,
    // and it stays so when the dialog font is narrowed to fit the captions.
    QFont narrowed = w.font();
    narrowed.setStretch(80);
    w.setFont(narrowed);
    const QFont barFont = f.bar()->font();
    QCOMPARE(barFont.families().value(0), QStringLiteral("MS Sans Serif"));
    QCOMPARE(barFont.pointSizeF(), 8.25);
    QCOMPARE(barFont.stretch(), int(QFont::Unstretched));
    QCOMPARE(barFont.weight(), QFont::Normal);
    QVERIFY(!barFont.italic() && !barFont.underline() && !barFont.strikeOut());

    // The load event, on the first show.
    QVERIFY(f.show());
    QVERIFY(w.started());
    QCOMPARE(f.combo()->count(), 2);
    QCOMPARE(f.combo()->currentIndex(), 0);
    QCOMPARE(f.combo()->currentText(), QStringLiteral("127.0.0.9"));
    bool isNumber = false;
    const int localPort = f.line(controls::kLocalPortBox)->text().toInt(&isNumber);
    QVERIFY2(isNumber && localPort >= 5500 && localPort <= 6499,
             qPrintable(QString::number(localPort)));
    QCOMPARE(f.line(controls::kRemotePortBox)->text(), QStringLiteral("111"));
    QCOMPARE(w.state().connected, 0);
    QCOMPARE(w.state().linkActivity, 50);
    // Start-up opens nothing and sends nothing, and runs once only.
    QVERIFY(!w.link().isOpen());
    QVERIFY(!w.inquiryTimer()->isActive());
    QCOMPARE(f.arpFlushes, 0);
    w.StartWindow();
    QCOMPARE(f.combo()->count(), 2);
    // What the operator sees: "NO FILE" in black on an empty bar.
    QCOMPARE(f.barShare(QColor(0, 0, 255)), 0.0);
    QVERIFY(f.barTextPixels() > 20);
}

void WindowLayoutTest::statusBarDrawsValueColourAndWord()
{
    WindowFixture f;
    QVERIFY(f.show());
    StatusDisplay &display = f.window->display();
    display.ShowStatus(status::kDownload);
    QCOMPARE(f.bar()->text(), QStringLiteral("DOWNLOAD"));
    // The platform's 0x00BBGGRR colours, and the share of the bar drawn: a
    // value past the maximum is drawn full, one below zero or with no
    // maximum empty; the value is kept as set either way.
    const struct {
        int maximum, value;
        quint32 colour;
        QColor shown;
        double low, high;
    } cases[] = {{10, 5, colour::kNavy, QColor(0, 0, 128), 0.33, 0.67},
                 {10, 25, colour::kGreen, QColor(0, 255, 0), 0.75, 1.0},
                 {10, 10, colour::kBlue, QColor(0, 0, 255), 0.75, 1.0},
                 {0, 5, colour::kRed, QColor(255, 0, 0), 0.0, 0.0},
                 {10, -3, colour::kRed, QColor(255, 0, 0), 0.0, 0.0}};
    for (const auto &c : cases) {
        display.SetBarMaximum(c.maximum);
        display.SetBarValue(c.value);
        display.SetBarColour(c.colour);
        QCOMPARE(f.bar()->value(), c.value);
        const double share = f.barShare(c.shown);
        QVERIFY2(share >= c.low && share <= c.high,
                 qPrintable(QStringLiteral("%1/%2: %3").arg(c.value).arg(c.maximum).arg(share)));
        QVERIFY(f.barTextPixels() > 20); // the word, in black over the bar
    }
}

void WindowLayoutTest::replyViewsAndClear()
{
    WindowFixture f;
    // Trailing spaces stay in tbReceiveData and Text3, not in Text8.
    const QByteArray reply("OK  \r\n  ");
    f.window->display().ShowReply(reply);
    QCOMPARE(f.view(controls::kReceivedReplyView)->bytes(), reply);
    QCOMPARE(f.line(controls::kReplyLine)->text(), QString::fromLatin1(reply));
    QCOMPARE(f.view(controls::kClassifiedReplyView)->bytes(), QByteArray("OK  \r\n"));
    // "CLR" clears Text3 only.
    QVERIFY(f.click(controls::kClearReplyButton));
    QCOMPARE(f.line(controls::kReplyLine)->text(), QString());
    QCOMPARE(f.view(controls::kReceivedReplyView)->bytes(), reply);
    QCOMPARE(f.view(controls::kClassifiedReplyView)->bytes(), QByteArray("OK  \r\n"));
}

void WindowLayoutTest::linkIndicatorTiming()
{
    WindowFixture f;
    MainWindow &w = *f.window;
    w.StartWindow();
    const auto tick = [&] { return QMetaObject::invokeMethod(f.timer1(), "timeout"); };

    // After start the counter stays at 50 and the no-link picture shows.
    for (int i = 0; i < 3; ++i) {
        QVERIFY(tick());
        QCOMPARE(w.state().linkActivity, 50);
        QVERIFY(!f.linkAliveShown());
    }
    // A reply, then silence: 49 ticks of link-alive, then no-link.
    emit w.link().datagramArrived(QByteArray("VER=1.0\r\n"), 111);
    QCOMPARE(w.state().linkActivity, 1);
    for (int i = 1; i <= 49; ++i) {
        QVERIFY(tick());
        QVERIFY2(f.linkAliveShown(), qPrintable(QString::number(i)));
    }
    QVERIFY(tick());
    QVERIFY(!f.linkAliveShown() && !f.control(controls::kNoLinkImage)->isHidden());
    QCOMPARE(w.state().linkActivity, 50);
    QVERIFY(f.checkLoopback());
}

void WindowLayoutTest::addressButtonsAndBadPort()
{
    WindowFixture f;
    MainWindow &w = *f.window;
    w.StartWindow();
    // Add, Del and Save reach the address list and its file.
    f.combo()->setEditText(QStringLiteral("127.0.0.2"));
    QVERIFY(f.click(controls::kAddAddressButton));
    QCOMPARE(f.combo()->count(), 2);
    f.combo()->setCurrentIndex(0);
    QVERIFY(f.click(controls::kDeleteAddressButton));
    QVERIFY(f.click(controls::kSaveAddressesButton));
    QFile file(f.addressPath());
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), QByteArray("127.0.0.2\r\n"));
    QVERIFY(f.prompts.boxes.isEmpty());

    // A port that is no number: an "Error#" box naming it, and no link.
    f.line(controls::kRemotePortBox)->setText(QStringLiteral("port"));
    QVERIFY(f.click(controls::kLinkButton));
    QCOMPARE(f.prompts.errors.size(), 1);
    QVERIFY(f.prompts.boxes.first().startsWith(QStringLiteral("Error#")));
    QCOMPARE(errorBoxText(f.prompts.errors.first()),
             QStringLiteral("Remote port \"port\" is not a number from 1 to 65535"));
    QVERIFY(!w.link().isOpen());
}

void WindowLayoutTest::realDialogs()
{
    QWidget parent;
    QtPrompts prompts(&parent);
    // Each dialog is answered from the event loop once it is up.
    QStringList seen;
    const auto answerBox = [&] {
        QTimer::singleShot(0, [&] {
            if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
                seen = {box->windowTitle(), box->text(), QString::number(box->icon()),
                        QString::number(box->standardButtons()),
                        QString::number(box->buttons().size())};
                box->accept();
            }
        });
    };
    const QString ok = QString::number(QMessageBox::Ok), one = QStringLiteral("1");
    answerBox();
    prompts.showCancelled();
    QCOMPARE(seen,
             (QStringList{"Corvanel", "Cancel", QString::number(QMessageBox::NoIcon), ok, one}));
    answerBox();
    prompts.showError({53, OperatorError::What::ReadImage, QStringLiteral("x.hex"),
                       QStringLiteral("file not found.")});
    QCOMPARE(seen, (QStringList{"Error#53", "Cannot load the HEX file \"x.hex\": file not found.",
                                QString::number(QMessageBox::Critical), ok, one}));

    QStringList filters;
    QTimer::singleShot(0, [&] {
        if (auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget())) {
            filters = dialog->nameFilters();
            dialog->reject();
        }
    });
    QCOMPARE(prompts.askOpenFileName(QStringLiteral("HEX files (*.hex)|*.hex")), QString());
    QCOMPARE(filters, QStringList{QStringLiteral("HEX files (*.hex)")});
}

QTEST_MAIN(WindowLayoutTest)
#include "test_window_layout.moc"

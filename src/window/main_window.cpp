#include "window/main_window.h"

#include "engine/protocol.h"
#include "image/image_loader.h"
#include "window/dialog_font.h"
#include "window/qt_prompts.h"
#include "window/reply_view.h"
#include "window/status_bar.h"
#include "window/window_geometry.h"
#include "window/window_images.h"

#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStyle>
#include <QTimer>

#include <algorithm>
#include <limits>

namespace corvanel {

namespace {

// The place of a control in its container, in twips.
struct Twips {
    int left, top, width, height;
};

// Tab order numbers are kept on every control, also on those that never take
// the focus (frames, labels, the bar), so the layout can be checked as a whole.
constexpr const char *kTabIndexProperty = "tabIndex";

struct Placer {
    int dpiX;
    int dpiY;

    template <typename Control>
    Control *operator()(Control *control, const char *name, Twips place, int tabIndex) const
    {
        control->setObjectName(QLatin1StringView(name));
        control->setGeometry(twipsToPixels(place.left, dpiX), twipsToPixels(place.top, dpiY),
                             twipsToPixels(place.width, dpiX), twipsToPixels(place.height, dpiY));
        control->setProperty(kTabIndexProperty, tabIndex);
        return control;
    }
};

QLineEdit *singleLineBox(QWidget *parent, const QString &text)
{
    auto *box = new QLineEdit(text, parent);
    // A datagram can be longer than a line edit's default limit of 32767.
    box->setMaxLength(std::numeric_limits<int>::max());
    return box;
}

QPlainTextEdit *multiLineBox(QWidget *parent)
{
    auto *box = new QPlainTextEdit(parent);
    box->setLineWrapMode(QPlainTextEdit::NoWrap);
    box->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    box->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    // Tab moves on to the next control, as in every other text box; otherwise
    // the focus, which starts here, could never leave by keyboard.
    box->setTabChangesFocus(true);
    return box;
}

QLabel *pictureBox(QWidget *parent, const QPixmap &pixmap)
{
    auto *label = new QLabel(parent);
    label->setPixmap(pixmap);
    label->setAttribute(Qt::WA_TranslucentBackground);
    return label;
}

} // namespace

MainWindow::MainWindow(WindowSeams seams, QWidget *parent)
    : QWidget(parent, Qt::Window | Qt::MSWindowsFixedSizeDialogHint | Qt::CustomizeWindowHint |
                          Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint),
      seams_(std::move(seams)),
      link_(new UdpLink(this, seams_.flushArp, seams_.sleep)),
      controller_(*this, *link_)
{
    if (seams_.prompts) {
        prompts_ = seams_.prompts;
    } else {
        ownPrompts_ = std::make_unique<QtPrompts>(this);
        prompts_ = ownPrompts_.get();
    }
    if (!seams_.localPort)
        seams_.localPort = initialLocalPort;

    setObjectName(QStringLiteral("UP_config"));
    setWindowTitle(QStringLiteral("Corvanel V4"));
    setFont(baseDialogFont());

    const int dpiX = logicalDpiX();
    const int dpiY = logicalDpiY();
    setWindowIcon(QIcon(toolsIcon(twipsToPixels(24 * 15, dpiX))));
    // Fixed border; the service area below the client area is never in view.
    setFixedSize(twipsToPixels(kClientWidthTwips, dpiX), twipsToPixels(kClientHeightTwips, dpiY));

    createPanel(dpiX, dpiY);
    createServiceArea(dpiX, dpiY);
    chainTabOrder();
    fitDialogFont();

    timer1_ = new QTimer(this);
    timer1_->setObjectName(QStringLiteral("Timer1"));
    timer1_->setInterval(kLinkIndicatorIntervalMs);

    connectEvents();
    timer1_->start();
    // The first control in tab order that can hold the focus.
    text20_->setFocus();
}

MainWindow::~MainWindow() = default;

void MainWindow::createPanel(int dpiX, int dpiY)
{
    const Placer place{dpiX, dpiY};

    frame8_ = place(new QGroupBox(QStringLiteral("Link Ethernet"), this), "Frame8",
                    {0, 0, 4935, 975}, 8);
    comboRemoteIP_ = place(new QComboBox(frame8_), "ComboRemoteIP", {120, 240, 2055, 315}, 10);
    comboRemoteIP_->setEditable(true);
    comboRemoteIP_->setInsertPolicy(QComboBox::NoInsert);
    // No inline completion: the host is exactly what the operator typed.
    comboRemoteIP_->setCompleter(nullptr);
    // Sizing to the contents would measure every item of a long list.
    comboRemoteIP_->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);

    const int pictureSize = twipsToPixels(480, dpiX);
    yesConnect_ = place(pictureBox(frame8_, computerImage(true, pictureSize)), "YesConnect",
                        {2220, 240, 480, 480}, -1);
    noConnect_ = place(pictureBox(frame8_, computerImage(false, pictureSize)), "NoConnect",
                       {2220, 360, 480, 480}, -1);
    yesConnect_->setVisible(false);

    cbBind_ = place(new QPushButton(QString(kCaptionConnect), frame8_), "cbBind",
                    {2820, 240, 1155, 255}, 9);
    command5_ = place(new QPushButton(QStringLiteral("Install"), frame8_), "Command5",
                      {4080, 240, 735, 255}, 22);
    addIp_ = place(new QPushButton(QStringLiteral("Add"), frame8_), "Add_ip", {120, 600, 615, 255},
                   11);
    delIp_ = place(new QPushButton(QStringLiteral("Del"), frame8_), "Del_ip", {840, 600, 615, 255},
                   12);
    saveIp_ = place(new QPushButton(QStringLiteral("Save"), frame8_), "SaveIP",
                    {1560, 600, 615, 255}, 13);

    frame1_ = place(new QGroupBox(QStringLiteral("Status"), this), "Frame1", {0, 960, 4935, 975}, 5);
    text3_ = place(singleLineBox(frame1_, QString()), "Text3", {120, 600, 4695, 285}, 23);
    label14_ = place(new QLabel(QStringLiteral("Label14"), frame1_), "Label14",
                     {1920, 960, 135, 15}, 7);

    // These two belong to the window and lie over the frames, drawn above them.
    command3_ = place(new QPushButton(QStringLiteral("Open File and  Download"), this), "Command3",
                      {2760, 600, 2055, 255}, 19);
    command3_->setEnabled(false);
    bar_ = place(new TextProgressBar(this), "vbalProgressBar1", {120, 1200, 4695, 255}, 21);
    bar_->setText(QString(status::kNoFile));
    bar_->setColourValue(colour::kBlue);
    bar_->setFont(statusBarFont());
    command3_->raise();
    bar_->raise();
}

void MainWindow::createServiceArea(int dpiX, int dpiY)
{
    const Placer place{dpiX, dpiY};

    text8_ = place(new ReplyView(this), "Text8", {0, 2280, 4875, 975}, 1);
    command4_ = place(new QPushButton(QStringLiteral("Send"), this), "Command4",
                      {60, 3360, 795, 255}, 20);
    command9_ = place(new QPushButton(QStringLiteral("CLR"), this), "Command9",
                      {1980, 3360, 615, 255}, 24);
    tbReceiveData_ = place(new ReplyView(this), "tbReceiveData", {0, 5520, 4815, 975}, 18);
    label37_ = place(new QLabel(QStringLiteral("Remote-Port"), this), "Label37",
                     {180, 6720, 975, 255}, 16);
    label36_ = place(new QLabel(QStringLiteral("Local-Port"), this), "Label36",
                     {1260, 6720, 855, 255}, 17);
    tbRemotePort_ = place(singleLineBox(this, QString()), "tbRemotePort", {180, 6960, 975, 285}, 14);
    tbLocalPort_ = place(singleLineBox(this, QString()), "tbLocalPort", {1140, 6960, 975, 285}, 15);
    // The port boxes are set apart by a greyed background (the colour the
    // system gives the text of an inactive title bar).
    for (QLineEdit *box : {tbRemotePort_, tbLocalPort_}) {
        QPalette palette = box->palette();
        palette.setColor(QPalette::Base, palette.color(QPalette::Inactive, QPalette::Button));
        box->setPalette(palette);
    }
    text5_ = place(singleLineBox(this, QStringLiteral("Text5")), "Text5", {900, 8400, 1335, 285}, 3);
    text1_ = place(singleLineBox(this, QStringLiteral("Text1")), "Text1", {2460, 8400, 735, 285}, 2);
    text6_ = place(singleLineBox(this, QStringLiteral("Text6")), "Text6", {3300, 8400, 495, 285}, 4);
    text2_ = place(singleLineBox(this, QStringLiteral("text2")), "Text2", {900, 8640, 1095, 285}, 6);
    text20_ = place(multiLineBox(this), "Text20", {60, 9120, 4395, 975}, 0);
}

void MainWindow::chainTabOrder()
{
    QList<QWidget *> controls;
    for (QWidget *child : findChildren<QWidget *>()) {
        const QVariant index = child->property(kTabIndexProperty);
        if (index.isValid() && index.toInt() >= 0)
            controls.append(child);
    }
    std::sort(controls.begin(), controls.end(), [](QWidget *a, QWidget *b) {
        return a->property(kTabIndexProperty).toInt() < b->property(kTabIndexProperty).toInt();
    });
    QWidget *previous = nullptr;
    for (QWidget *control : std::as_const(controls)) {
        if (!(control->focusPolicy() & Qt::TabFocus))
            continue; // frames, labels and the bar keep their number but take no focus
        if (previous)
            setTabOrder(previous, control);
        previous = control;
    }
}

void MainWindow::fitDialogFont()
{
    // Every caption must be readable at the given control sizes, "Disconnect"
    // included. Label14 is a 9 x 1 pixel strip whose caption is never legible.
    const QFont font = this->font();
    const int buttonMargin = style()->pixelMetric(QStyle::PM_ButtonMargin) +
                             2 * style()->pixelMetric(QStyle::PM_DefaultFrameWidth);
    QList<CaptionRoom> rooms;
    for (QPushButton *button : findChildren<QPushButton *>())
        rooms.append({button->text(), button->width(), buttonMargin});
    rooms.append({QString(kCaptionDisconnect), cbBind_->width(), buttonMargin});
    for (QLabel *label : {label36_, label37_})
        rooms.append({label->text(), label->width(), 0});
    setFont(fitCaptions(font, rooms));
}

void MainWindow::connectEvents()
{
    connect(cbBind_, &QPushButton::clicked, this, &MainWindow::onBindClicked);
    connect(command3_, &QPushButton::clicked, this, &MainWindow::onOpenFileClicked);
    connect(command4_, &QPushButton::clicked, this, [this] { controller_.SendNextLine(); });
    connect(command5_, &QPushButton::clicked, this, [this] { controller_.InstallFirmware(); });
    connect(command9_, &QPushButton::clicked, this, [this] { ClearReplyView(); });
    connect(addIp_, &QPushButton::clicked, this, [this] { AddAddress(*comboRemoteIP_); });
    connect(delIp_, &QPushButton::clicked, this, [this] { DeleteAddress(*comboRemoteIP_); });
    connect(saveIp_, &QPushButton::clicked, this,
            [this] { SaveAddresses(*comboRemoteIP_, *prompts_, seams_.addressFile); });
    connect(timer1_, &QTimer::timeout, this, [this] { controller_.TickLinkIndicator(); });
    connect(link_, &UdpLink::inquiryTick, this, [this] { controller_.PollDevice(); });
    connect(link_, &UdpLink::datagramArrived, this,
            [this](const QByteArray &datagram) { controller_.HandleReply(datagram); });
}

void MainWindow::showEvent(QShowEvent *event)
{
    // The load event comes before the window is first seen.
    if (!started_)
        StartWindow();
    QWidget::showEvent(event);
}

void MainWindow::StartWindow()
{
    if (started_)
        return;
    started_ = true;
    TransferState &state = controller_.state();
    state.connected = 0;
    state.linkActivity = TransferState::kLinkIdle;
    LoadAddresses(*comboRemoteIP_, seams_.addressFile);
    InitPorts();
}

void MainWindow::InitPorts()
{
    tbLocalPort_->setText(seams_.localPort());
    tbRemotePort_->setText(initialRemotePort());
}

void MainWindow::onBindClicked()
{
    const LinkSettings settings{comboRemoteIP_->currentText(), tbRemotePort_->text(),
                                tbLocalPort_->text()};
    if (const auto error = controller_.ToggleLink(settings))
        prompts_->showError(*error);
}

void MainWindow::onOpenFileClicked()
{
    LoadImageFile(controller_.state(), *this, *prompts_);
}

void MainWindow::ShowStatus(QLatin1StringView word)
{
    bar_->setText(QString(word));
}

void MainWindow::SetBarValue(int value)
{
    bar_->setValue(value);
}

void MainWindow::SetBarMaximum(int maximum)
{
    bar_->setMaximum(maximum);
}

void MainWindow::SetBarColour(quint32 colour)
{
    bar_->setColourValue(colour);
}

void MainWindow::ShowReply(QByteArrayView reply)
{
    // In this order: the raw datagram, its copy in the visible view, and the
    // copy without trailing spaces that the transfer classifies.
    tbReceiveData_->setBytes(reply);
    // A line edit lays out its text anew on every set; during a transfer the
    // replies repeat, so an unchanged text is left alone.
    const QString text = tbReceiveData_->text();
    if (text3_->text() != text)
        text3_->setText(text);
    text8_->setBytes(protocol::trimTrailingSpaces(tbReceiveData_->bytes()));
}

void MainWindow::ClearReplyView()
{
    text3_->clear();
}

void MainWindow::ClearReceivedData()
{
    tbReceiveData_->clear();
}

void MainWindow::ShowLinkAlive(bool alive)
{
    yesConnect_->setVisible(alive);
    noConnect_->setVisible(!alive);
}

void MainWindow::SetOpenFileEnabled(bool enabled)
{
    command3_->setEnabled(enabled);
}

void MainWindow::SetLinkCaption(QLatin1StringView caption)
{
    cbBind_->setText(QString(caption));
}

} // namespace corvanel

#include "window/main_window.h"

#include "engine/protocol.h"
#include "window/control_names.h"
#include "window/dialog_font.h"
#include "window/open_image.h"
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
#include <QUdpSocket>

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
    Control *operator()(Control *control, const char *objectName, Twips place, int tabIndex) const
    {
        control->setObjectName(QLatin1StringView(objectName));
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

// Datagrams and inquiry ticks wait while a handler shows a dialog: each
// operation runs to its end before the next event is taken.
class EventHold {
public:
    explicit EventHold(WindowTransfer &transfer) : transfer_(transfer) { transfer_.hold(); }
    ~EventHold() { transfer_.release(); }
    EventHold(const EventHold &) = delete;
    EventHold &operator=(const EventHold &) = delete;

private:
    WindowTransfer &transfer_;
};

} // namespace

MainWindow::MainWindow(WindowSeams seams, QWidget *parent)
    : QWidget(parent, Qt::Window | Qt::MSWindowsFixedSizeDialogHint | Qt::CustomizeWindowHint |
                          Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint),
      seams_(std::move(seams)),
      transfer_(new WindowTransfer(*this, seams_.flushArp, seams_.sleep, this))
{
    if (seams_.prompts) {
        prompts_ = seams_.prompts;
    } else {
        ownPrompts_ = std::make_unique<QtPrompts>(this);
        prompts_ = ownPrompts_.get();
    }
    if (!seams_.localPort)
        seams_.localPort = initialLocalPort;

    setObjectName(QLatin1StringView(controls::kWindow));
    setWindowTitle(QStringLiteral("Corvanel V4"));
    setFont(baseDialogFont());
    transfer_->link().socket()->setObjectName(QLatin1StringView(controls::kSocket));
    transfer_->inquiryTimer()->setObjectName(QLatin1StringView(controls::kInquiryTimer));

    const int dpiX = logicalDpiX();
    const int dpiY = logicalDpiY();
    setWindowIcon(QIcon(toolsIcon(twipsToPixels(24 * 15, dpiX))));
    // Fixed border; the service area below the client area is never in view.
    setFixedSize(twipsToPixels(kClientWidthTwips, dpiX), twipsToPixels(kClientHeightTwips, dpiY));

    createPanel(dpiX, dpiY);
    createServiceArea(dpiX, dpiY);
    chainTabOrder();
    fitDialogFont();

    linkIndicatorTimer_ = new QTimer(this);
    linkIndicatorTimer_->setObjectName(QLatin1StringView(controls::kLinkIndicatorTimer));
    linkIndicatorTimer_->setInterval(kLinkIndicatorIntervalMs);

    connectEvents();
    linkIndicatorTimer_->start();
    // The first control in tab order that can hold the focus.
    firstFocusBox_->setFocus();
}

MainWindow::~MainWindow() = default;

void MainWindow::createPanel(int dpiX, int dpiY)
{
    using namespace controls;
    const Placer place{dpiX, dpiY};

    linkFrame_ = place(new QGroupBox(QStringLiteral("Link Ethernet"), this), kLinkFrame,
                       {0, 0, 4935, 975}, 8);
    addressBox_ = place(new QComboBox(linkFrame_), kAddressBox, {120, 240, 2055, 315}, 10);
    addressBox_->setEditable(true);
    addressBox_->setInsertPolicy(QComboBox::NoInsert);
    // No inline completion: the host is exactly what the operator typed.
    addressBox_->setCompleter(nullptr);
    // Sizing to the contents would measure every item of a long list.
    addressBox_->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);

    const int pictureSize = twipsToPixels(480, dpiX);
    linkAliveImage_ = place(pictureBox(linkFrame_, computerImage(true, pictureSize)),
                            kLinkAliveImage, {2220, 240, 480, 480}, -1);
    noLinkImage_ = place(pictureBox(linkFrame_, computerImage(false, pictureSize)), kNoLinkImage,
                         {2220, 360, 480, 480}, -1);
    linkAliveImage_->setVisible(false);

    linkButton_ = place(new QPushButton(QString(kCaptionConnect), linkFrame_), kLinkButton,
                        {2820, 240, 1155, 255}, 9);
    installButton_ = place(new QPushButton(QStringLiteral("Install"), linkFrame_), kInstallButton,
                           {4080, 240, 735, 255}, 22);
    addAddressButton_ = place(new QPushButton(QStringLiteral("Add"), linkFrame_), kAddAddressButton,
                              {120, 600, 615, 255}, 11);
    deleteAddressButton_ = place(new QPushButton(QStringLiteral("Del"), linkFrame_),
                                 kDeleteAddressButton, {840, 600, 615, 255}, 12);
    saveAddressesButton_ = place(new QPushButton(QStringLiteral("Save"), linkFrame_),
                                 kSaveAddressesButton, {1560, 600, 615, 255}, 13);

    statusFrame_ =
        place(new QGroupBox(QStringLiteral("Status"), this), kStatusFrame, {0, 960, 4935, 975}, 5);
    replyLine_ =
        place(singleLineBox(statusFrame_, QString()), kReplyLine, {120, 600, 4695, 285}, 23);
    place(new QLabel(QStringLiteral("Label14"), statusFrame_), kStatusFrameMark,
          {1920, 960, 135, 15}, 7);

    // These two belong to the window and lie over the frames, drawn above them.
    openFileButton_ = place(new QPushButton(QStringLiteral("Open File and  Download"), this),
                            kOpenFileButton, {2760, 600, 2055, 255}, 19);
    openFileButton_->setEnabled(false);
    statusBar_ = place(new TextProgressBar(this), kStatusBar, {120, 1200, 4695, 255}, 21);
    statusBar_->setText(QString(status::kNoFile));
    statusBar_->setColourValue(colour::kBlue);
    statusBar_->setFont(statusBarFont());
    openFileButton_->raise();
    statusBar_->raise();
}

void MainWindow::createServiceArea(int dpiX, int dpiY)
{
    using namespace controls;
    const Placer place{dpiX, dpiY};

    classifiedReplyView_ =
        place(new ReplyView(this), kClassifiedReplyView, {0, 2280, 4875, 975}, 1);
    sendButton_ =
        place(new QPushButton(QStringLiteral("Send"), this), kSendButton, {60, 3360, 795, 255}, 20);
    clearReplyButton_ = place(new QPushButton(QStringLiteral("CLR"), this), kClearReplyButton,
                              {1980, 3360, 615, 255}, 24);
    receivedReplyView_ = place(new ReplyView(this), kReceivedReplyView, {0, 5520, 4815, 975}, 18);
    remotePortLabel_ = place(new QLabel(QStringLiteral("Remote-Port"), this), kRemotePortLabel,
                             {180, 6720, 975, 255}, 16);
    localPortLabel_ = place(new QLabel(QStringLiteral("Local-Port"), this), kLocalPortLabel,
                            {1260, 6720, 855, 255}, 17);
    remotePortBox_ =
        place(singleLineBox(this, QString()), kRemotePortBox, {180, 6960, 975, 285}, 14);
    localPortBox_ =
        place(singleLineBox(this, QString()), kLocalPortBox, {1140, 6960, 975, 285}, 15);
    // The port boxes are set apart by a greyed background (the colour the
    // system gives the text of an inactive title bar).
    for (QLineEdit *box : {remotePortBox_, localPortBox_}) {
        QPalette palette = box->palette();
        palette.setColor(QPalette::Base, palette.color(QPalette::Inactive, QPalette::Button));
        box->setPalette(palette);
    }
    place(singleLineBox(this, QStringLiteral("Text5")), kSpareBox1, {900, 8400, 1335, 285}, 3);
    place(singleLineBox(this, QStringLiteral("Text1")), kSpareBox2, {2460, 8400, 735, 285}, 2);
    place(singleLineBox(this, QStringLiteral("Text6")), kSpareBox3, {3300, 8400, 495, 285}, 4);
    place(singleLineBox(this, QStringLiteral("text2")), kSpareBox4, {900, 8640, 1095, 285}, 6);
    firstFocusBox_ = place(multiLineBox(this), kFirstFocusBox, {60, 9120, 4395, 975}, 0);
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
    // included. The frame's mark is a 9 x 1 pixel strip whose caption is never legible.
    const QFont font = this->font();
    const int buttonMargin = style()->pixelMetric(QStyle::PM_ButtonMargin) +
                             2 * style()->pixelMetric(QStyle::PM_DefaultFrameWidth);
    QList<CaptionRoom> rooms;
    for (QPushButton *button : findChildren<QPushButton *>())
        rooms.append({button->text(), button->width(), buttonMargin});
    rooms.append({QString(kCaptionDisconnect), linkButton_->width(), buttonMargin});
    for (QLabel *label : {localPortLabel_, remotePortLabel_})
        rooms.append({label->text(), label->width(), 0});
    setFont(fitCaptions(font, rooms));
}

void MainWindow::connectEvents()
{
    connect(linkButton_, &QPushButton::clicked, this, &MainWindow::onLinkButtonClicked);
    connect(openFileButton_, &QPushButton::clicked, this, &MainWindow::onOpenFileClicked);
    connect(sendButton_, &QPushButton::clicked, this, [this] { transfer_->SendNextLine(); });
    connect(installButton_, &QPushButton::clicked, this, [this] { transfer_->InstallFirmware(); });
    connect(clearReplyButton_, &QPushButton::clicked, this, [this] { ClearReplyView(); });
    connect(addAddressButton_, &QPushButton::clicked, this, [this] { AddAddress(*addressBox_); });
    connect(deleteAddressButton_, &QPushButton::clicked, this,
            [this] { DeleteAddress(*addressBox_); });
    connect(saveAddressesButton_, &QPushButton::clicked, this, &MainWindow::onSaveAddressesClicked);
    connect(linkIndicatorTimer_, &QTimer::timeout, this,
            [this] { transfer_->TickLinkIndicator(); });
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
    transfer_->resetForStart();
    addressFileRead_ = LoadAddresses(*addressBox_, seams_.addressFile);
    InitPorts();
}

void MainWindow::InitPorts()
{
    localPortBox_->setText(seams_.localPort());
    remotePortBox_->setText(initialRemotePort());
}

void MainWindow::onLinkButtonClicked()
{
    const EventHold hold(*transfer_);
    const LinkSettings settings{addressBox_->currentText(), remotePortBox_->text(),
                                localPortBox_->text()};
    if (const auto error = transfer_->ToggleLink(settings))
        prompts_->showError(*error);
}

void MainWindow::onOpenFileClicked()
{
    // Nothing the device says while the dialog is open is handled before the
    // chosen image is in place: it is downloaded from its first line.
    const EventHold hold(*transfer_);
    LoadImageFile(
        transfer_->board(), [this] { transfer_->apply(); }, *prompts_);
}

void MainWindow::onSaveAddressesClicked()
{
    const EventHold hold(*transfer_);
    SaveAddresses(*addressBox_, *prompts_, addressFileRead_, seams_.addressFile);
}

void MainWindow::ShowStatus(QLatin1StringView word)
{
    statusBar_->setText(QString(word));
}

void MainWindow::SetBarValue(int value)
{
    statusBar_->setValue(value);
}

void MainWindow::SetBarMaximum(int maximum)
{
    statusBar_->setMaximum(maximum);
}

void MainWindow::SetBarColour(quint32 colour)
{
    statusBar_->setColourValue(colour);
}

void MainWindow::ShowReply(QByteArrayView reply)
{
    // In this order: the raw datagram, its copy in the visible line, and the
    // copy without trailing spaces that the transfer classifies.
    receivedReplyView_->setBytes(reply);
    // A line edit lays out its text anew on every set; during a transfer the
    // replies repeat, so an unchanged text is left alone.
    const QString text = receivedReplyView_->text();
    if (replyLine_->text() != text)
        replyLine_->setText(text);
    classifiedReplyView_->setBytes(protocol::trimTrailingSpaces(receivedReplyView_->bytes()));
}

void MainWindow::ClearReplyView()
{
    replyLine_->clear();
}

void MainWindow::clearReceivedReply()
{
    receivedReplyView_->clear();
}

void MainWindow::showLinkAlive(bool alive)
{
    linkAliveImage_->setVisible(alive);
    noLinkImage_->setVisible(!alive);
}

void MainWindow::allowOpenFile(bool allowed)
{
    openFileButton_->setEnabled(allowed);
}

void MainWindow::showLinkAction(QLatin1StringView caption)
{
    linkButton_->setText(QString(caption));
}

} // namespace corvanel

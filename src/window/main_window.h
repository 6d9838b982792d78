#pragma once

#include "addresses/address_list.h"
#include "common/operator_prompts.h"
#include "window/status_display.h"
#include "window/window_transfer.h"

#include <QString>
#include <QWidget>

#include <functional>
#include <memory>

class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QTimer;

namespace corvanel {

class QtPrompts;
class ReplyView;
class TextProgressBar;

// Everything the window reaches outside itself, so tests can swap it. Empty
// members mean the real thing.
struct WindowSeams {
    OperatorPrompts *prompts = nullptr; // file dialog and message boxes
    WindowTransfer::ArpFlush flushArp;  // the platform's ARP flush
    WindowTransfer::Sleeper sleep;      // the pause before the socket closes on install
    std::function<QString()> localPort; // start-up local port; initialLocalPort()
    QString addressFile = QString(kAddressFileName); // the address list, in the current directory
};

// The one window. It owns every control, the transfer's driver (with the UDP
// link and the inquiry timer) and the link indicator's timer; each event
// starts one operation. It is the status display the transfer drives. Object
// names of the controls: control_names.h.
class MainWindow : public QWidget, private StatusDisplay {
    Q_OBJECT
public:
    static constexpr int kLinkIndicatorIntervalMs = 500;

    explicit MainWindow(WindowSeams seams = {}, QWidget *parent = nullptr);
    ~MainWindow() override;

    // The load event: runs once, on the first show or when called before it.
    void StartWindow();
    bool started() const { return started_; }

    WindowTransfer &transfer() { return *transfer_; }
    TransferState state() const { return transfer_->state(); }
    UdpLink &link() { return transfer_->link(); }
    QTimer *inquiryTimer() const { return transfer_->inquiryTimer(); }
    StatusDisplay &display() { return *this; }

protected:
    void showEvent(QShowEvent *event) override;

private:
    void createPanel(int dpiX, int dpiY);
    void createServiceArea(int dpiX, int dpiY);
    void chainTabOrder();
    void fitDialogFont();
    void connectEvents();
    void InitPorts();

    // Event handlers that may show a dialog.
    void onLinkButtonClicked();
    void onOpenFileClicked();
    void onSaveAddressesClicked();

    // StatusDisplay over the widgets.
    void ShowStatus(QLatin1StringView word) override;
    void SetBarValue(int value) override;
    void SetBarMaximum(int maximum) override;
    void SetBarColour(quint32 colour) override;
    void ShowReply(QByteArrayView reply) override;
    void ClearReplyView() override;
    void clearReceivedReply() override;
    void showLinkAlive(bool alive) override;
    void allowOpenFile(bool allowed) override;
    void showLinkAction(QLatin1StringView caption) override;

    WindowSeams seams_;
    std::unique_ptr<QtPrompts> ownPrompts_;
    OperatorPrompts *prompts_ = nullptr;
    WindowTransfer *transfer_ = nullptr;
    bool started_ = false;
    AddressFileRead addressFileRead_; // what start-up left unread: Save refuses then

    // The panel.
    QGroupBox *linkFrame_ = nullptr;
    QComboBox *addressBox_ = nullptr;
    QLabel *linkAliveImage_ = nullptr;
    QLabel *noLinkImage_ = nullptr;
    QPushButton *linkButton_ = nullptr;
    QPushButton *installButton_ = nullptr;
    QPushButton *addAddressButton_ = nullptr;
    QPushButton *deleteAddressButton_ = nullptr;
    QPushButton *saveAddressesButton_ = nullptr;
    QPushButton *openFileButton_ = nullptr;
    QGroupBox *statusFrame_ = nullptr;
    TextProgressBar *statusBar_ = nullptr;
    QLineEdit *replyLine_ = nullptr;

    // The service area, below the client area.
    ReplyView *classifiedReplyView_ = nullptr;
    QPushButton *sendButton_ = nullptr;
    QPushButton *clearReplyButton_ = nullptr;
    ReplyView *receivedReplyView_ = nullptr;
    QLabel *remotePortLabel_ = nullptr;
    QLabel *localPortLabel_ = nullptr;
    QLineEdit *remotePortBox_ = nullptr;
    QLineEdit *localPortBox_ = nullptr;
    QPlainTextEdit *firstFocusBox_ = nullptr;

    QTimer *linkIndicatorTimer_ = nullptr;
};

} // namespace corvanel

#pragma once

#include "addresses/address_list.h"
#include "common/operator_prompts.h"
#include "engine/status_display.h"
#include "engine/transfer_controller.h"
#include "engine/udp_link.h"

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
    OperatorPrompts *prompts = nullptr;     // file dialog and message boxes
    UdpLink::ArpFlush flushArp;             // the platform's ARP flush
    UdpLink::Sleeper sleep;                 // the pause before the socket closes on install
    std::function<QString()> localPort;     // start-up local port; initialLocalPort()
    QString addressFile = QString(kAddressFileName); // the address list, in the current directory
};

// The one window, `UP_config`. It owns every control, the transfer state, the
// UDP link and both timers; each event starts one operation. It is the status
// display the transfer drives.
class MainWindow : public QWidget, private StatusDisplay {
    Q_OBJECT
public:
    static constexpr int kLinkIndicatorIntervalMs = 500;

    explicit MainWindow(WindowSeams seams = {}, QWidget *parent = nullptr);
    ~MainWindow() override;

    // The load event: runs once, on the first show or when called before it.
    void StartWindow();
    bool started() const { return started_; }

    TransferController &controller() { return controller_; }
    const TransferState &state() const { return controller_.state(); }
    UdpLink &link() { return *link_; }
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

    // Event handlers, one operation each.
    void onBindClicked();
    void onOpenFileClicked();

    // StatusDisplay over the widgets.
    void ShowStatus(QLatin1StringView word) override;
    void SetBarValue(int value) override;
    void SetBarMaximum(int maximum) override;
    void SetBarColour(quint32 colour) override;
    void ShowReply(QByteArrayView reply) override;
    void ClearReplyView() override;
    void ClearReceivedData() override;
    void ShowLinkAlive(bool alive) override;
    void SetOpenFileEnabled(bool enabled) override;
    void SetLinkCaption(QLatin1StringView caption) override;

    WindowSeams seams_;
    std::unique_ptr<QtPrompts> ownPrompts_;
    OperatorPrompts *prompts_ = nullptr;
    UdpLink *link_ = nullptr;
    TransferController controller_;
    bool started_ = false;

    // The panel.
    QGroupBox *frame8_ = nullptr;
    QComboBox *comboRemoteIP_ = nullptr;
    QLabel *yesConnect_ = nullptr;
    QLabel *noConnect_ = nullptr;
    QPushButton *cbBind_ = nullptr;
    QPushButton *command5_ = nullptr;
    QPushButton *addIp_ = nullptr;
    QPushButton *delIp_ = nullptr;
    QPushButton *saveIp_ = nullptr;
    QPushButton *command3_ = nullptr;
    QGroupBox *frame1_ = nullptr;
    TextProgressBar *bar_ = nullptr;
    QLineEdit *text3_ = nullptr;
    QLabel *label14_ = nullptr;

    // The service area, below the client area.
    ReplyView *text8_ = nullptr;
    QPushButton *command4_ = nullptr;
    QPushButton *command9_ = nullptr;
    ReplyView *tbReceiveData_ = nullptr;
    QLabel *label37_ = nullptr;
    QLabel *label36_ = nullptr;
    QLineEdit *tbRemotePort_ = nullptr;
    QLineEdit *tbLocalPort_ = nullptr;
    QLineEdit *text5_ = nullptr;
    QLineEdit *text1_ = nullptr;
    QLineEdit *text6_ = nullptr;
    QLineEdit *text2_ = nullptr;
    QPlainTextEdit *text20_ = nullptr;

    QTimer *timer1_ = nullptr; // the link indicator
};

} // namespace corvanel

#include "flash/host_flasher.h"

#include <QUdpSocket>

#include <utility>

namespace corvanel::flash {

namespace {

QString passWhere(TransferPhase phase, int line, int lineCount)
{
    return QStringLiteral("line %1 of %2 (%3 pass)")
        .arg(line)
        .arg(lineCount)
        .arg(phase == TransferPhase::Verify ? QStringLiteral("verify")
                                            : QStringLiteral("download"));
}

} // namespace

// The UDP link as the flasher needs it: the install pause does not block, for
// one thread serves every host and a blocking pause per host would stall all
// other transfers. The close that follows the pause is put off by the same
// time instead, so "BOOTg" still leaves well before the socket closes.
class LingeringLink : public QObject, public DeviceLink {
    Q_OBJECT
public:
    explicit LingeringLink(UdpLink &udp) : udp_(udp)
    {
        lingerTimer_.setSingleShot(true);
        QObject::connect(&lingerTimer_, &QTimer::timeout, this, &LingeringLink::closeNow);
    }

    void flushArpCache() override {} // the flasher flushes once, and only when asked
    std::optional<OperatorError> open(const LinkSettings &settings) override
    {
        return udp_.open(settings);
    }
    bool send(QByteArrayView datagram) override
    {
        // A dry run's promise is kept here, where every datagram leaves: the
        // line the controller starts with after "VER=" goes nowhere.
        if (inquiriesOnly_ && datagram != protocol::kInquiry)
            return true;
        const bool sent = udp_.send(datagram);
        if (datagram == protocol::kInstall)
            installSent_ = sent;
        return sent;
    }
    void close() override
    {
        if (udp_.isOpen() && linger_.count() > 0) {
            lingerTimer_.start(std::exchange(linger_, std::chrono::milliseconds{0}));
            return;
        }
        closeNow();
    }
    void startInquiryTimer() override { udp_.startInquiryTimer(); }
    void stopInquiryTimer() override { udp_.stopInquiryTimer(); }
    void pause(std::chrono::milliseconds duration) override { linger_ = duration; }

    void setInquiriesOnly(bool only) { inquiriesOnly_ = only; }
    // Whether the last "BOOTg" left.
    bool installSent() const { return installSent_; }

    // Closes at once, an install's pending close included.
    void abort()
    {
        if (lingerTimer_.isActive())
            closeNow();
    }

signals:
    void closed();

private:
    void closeNow()
    {
        // Said also when the socket had closed already, so that an install
        // always comes to its end.
        lingerTimer_.stop();
        udp_.close();
        emit closed();
    }

    UdpLink &udp_;
    QTimer lingerTimer_;
    std::chrono::milliseconds linger_{0};
    bool inquiriesOnly_ = false;
    bool installSent_ = false;
};

QString secondsText(std::chrono::milliseconds duration)
{
    return QString::number(double(duration.count()) / 1000.0, 'g', 6) + QStringLiteral(" s");
}

QString quotedReply(QByteArrayView reply)
{
    constexpr qsizetype kMaxShown = 60;
    while (!reply.isEmpty() && (reply.back() == '\n' || reply.back() == '\r'))
        reply.chop(1);
    QString text;
    for (qsizetype i = 0; i < reply.size() && i < kMaxShown; ++i) {
        const auto c = static_cast<unsigned char>(reply[i]);
        if (c >= 0x20 && c < 0x7f && c != '"' && c != '\\')
            text += QLatin1Char(char(c));
        else
            text += QStringLiteral("\\x%1").arg(c, 2, 16, QLatin1Char('0'));
    }
    if (reply.size() > kMaxShown)
        text += QStringLiteral("...");
    return QLatin1Char('"') + text + QLatin1Char('"');
}

HostFlasher::HostFlasher(HostSettings settings, const LineTable &image, QObject *parent)
    : QObject(parent), settings_(std::move(settings)), image_(image),
      udp_(
          nullptr, [] {}, [](std::chrono::milliseconds) {}),
      link_(std::make_unique<LingeringLink>(udp_)),
      controller_(display_, *link_, settings_.limits, [this] { return now(); })
{
    // Only the device's own address and port answer.
    udp_.setSenderCheck(SenderCheck::AddressAndPort);
    deadlineTimer_.setSingleShot(true);
    // Time-outs as short as a few hundred milliseconds must hold their bound.
    deadlineTimer_.setTimerType(Qt::PreciseTimer);
    nextAttemptTimer_.setSingleShot(true);
    connect(&nextAttemptTimer_, &QTimer::timeout, this, &HostFlasher::startAttempt);
    link_->setInquiriesOnly(settings_.dryRun);
    resetReport();

    connect(&udp_, &UdpLink::inquiryTick, this, [this] {
        if (settled_)
            return;
        controller_.PollDevice();
        afterEvent();
    });
    connect(&udp_, &UdpLink::datagramArrived, this, [this](const QByteArray &datagram) {
        if (settled_)
            return;
        controller_.HandleReply(datagram);
        afterEvent();
    });
    connect(&deadlineTimer_, &QTimer::timeout, this, [this] {
        if (settled_)
            return;
        controller_.handleTimeout();
        afterEvent();
    });
    connect(link_.get(), &LingeringLink::closed, this, &HostFlasher::onLinkClosed);
}

HostFlasher::~HostFlasher()
{
    // A flasher torn down mid-transfer still closes its socket.
    link_->abort();
    udp_.close();
}

void HostFlasher::start()
{
    clock_.start();
    firstStart_ = QDateTime::currentDateTimeUtc();
    startAttempt();
}

void HostFlasher::startAttempt()
{
    if (interrupted_)
        return;
    ++attempt_;
    settled_ = false;
    line_ = 0;
    transferStartMs_ = -1;
    attemptStartMs_ = clock_.elapsed();
    resetReport();
    report_.start = attempt_ == 1 ? firstStart_ : QDateTime::currentDateTimeUtc();
    setPhase(Phase::Connecting);

    // A random port is drawn anew, never the last attempt's: its late
    // replies must not reach this one.
    const QString lastPort = linkSettings_.localPort;
    linkSettings_ = {settings_.address.isEmpty() ? settings_.host : settings_.address,
                     QString::number(settings_.remotePort),
                     {}};
    std::optional<OperatorError> error;
    for (int bind = 0; bind < kBindAttempts; ++bind) {
        linkSettings_.localPort =
            settings_.localPort ? QString::number(*settings_.localPort) : initialLocalPort();
        for (int draw = 0; !settings_.localPort && draw < 8 && linkSettings_.localPort == lastPort;
             ++draw)
            linkSettings_.localPort = initialLocalPort();
        error = controller_.ToggleLink(linkSettings_);
        // Only a random port may be drawn again: a given one is the user's.
        if (!error || settings_.localPort || error->number != errnum::kAddressInUse)
            break;
    }
    // Every port drawn was taken (hosts enough to fill the range, or other
    // programs on it): a port the system chooses serves as well.
    if (error && !settings_.localPort && error->number == errnum::kAddressInUse) {
        linkSettings_.localPort = QStringLiteral("0");
        error = controller_.ToggleLink(linkSettings_);
    }
    if (error) {
        conclude(Outcome::NetworkError, error->text);
        return;
    }
    report_.localPort = udp_.localPort();

    // Loaded while polling, as the operator loads the file after connecting;
    // the first inquiry goes out at once, the next ones every 500 ms.
    controller_.adoptImage(LineTable(image_));
    setPhase(Phase::Inquiry);
    controller_.PollDevice();
    afterEvent();
}

void HostFlasher::interrupt()
{
    if (finished_ || interrupted_)
        return;
    interrupted_ = true;
    if (nextAttemptTimer_.isActive()) {
        // Between attempts: the last one is recorded; the host stops here.
        nextAttemptTimer_.stop();
        report_.outcome = Outcome::Interrupted;
        report_.reason = QStringLiteral("interrupted before attempt %1 of %2; attempt %3: %4")
                             .arg(attempt_ + 1)
                             .arg(settings_.attempts)
                             .arg(attempt_)
                             .arg(report_.reason);
        QMetaObject::invokeMethod(
            this,
            [this] {
                finished_ = true;
                emit finished();
            },
            Qt::QueuedConnection);
        return;
    }
    // An install has already sent "BOOTg"; its close follows within 100 ms.
    if (settled_ || phase_ == Phase::Install)
        return;
    conclude(Outcome::Interrupted,
             phase_ == Phase::Download || phase_ == Phase::Verify
                 ? QStringLiteral("interrupted at %1")
                       .arg(passWhere(controller_.phase(), line_, image_.count()))
                 : QStringLiteral("interrupted while waiting for \"VER=\""));
}

void HostFlasher::afterEvent()
{
    if (settled_)
        return;
    if (settings_.dryRun && !controller_.versionReply().isEmpty()) {
        // The board answered; the line that would follow stayed in the link.
        conclude(Outcome::Ok, {});
        return;
    }
    switch (controller_.phase()) {
    case TransferPhase::Download:
    case TransferPhase::Verify: {
        if (transferStartMs_ < 0)
            transferStartMs_ = clock_.elapsed();
        const Phase phase =
            controller_.phase() == TransferPhase::Verify ? Phase::Verify : Phase::Download;
        if (phase != phase_ || controller_.line() != line_) {
            line_ = controller_.line();
            phase_ = phase;
            emit progressed();
        }
        break;
    }
    case TransferPhase::Ended:
        line_ = image_.count();
        if (settings_.install) {
            if (phase_ == Phase::Install)
                return; // asked for already
            setPhase(Phase::Install);
            // Not from inside the handler that is still running.
            QMetaObject::invokeMethod(this, &HostFlasher::install, Qt::QueuedConnection);
        } else {
            setPhase(Phase::Done);
            conclude(Outcome::Ok, {});
        }
        return;
    case TransferPhase::Failed: {
        const auto kind = controller_.failure().kind;
        const Outcome outcome =
            kind == TransferFailure::Kind::NoVersion || kind == TransferFailure::Kind::NoAnswer
                ? Outcome::TimedOut
            : kind == TransferFailure::Kind::SendFailed ? Outcome::NetworkError
                                                        : Outcome::DeviceError;
        conclude(outcome, failureReason());
        return;
    }
    default:
        break;
    }
    // Armed again only when the deadline moved: with thousands of hosts,
    // every restart costs a walk through the event loop's timer list.
    const auto due = controller_.deadline();
    if (!due)
        deadlineTimer_.stop();
    else if (!deadlineTimer_.isActive() || *due != armedDeadline_)
        deadlineTimer_.start(std::max<qint64>(0, (*due - now()).count()));
    armedDeadline_ = due.value_or(Millis{-1});
}

QString HostFlasher::failureReason() const
{
    const TransferFailure &f = controller_.failure();
    const QString where = f.phase == TransferPhase::Polling
                              ? QStringLiteral("the inquiry")
                              : passWhere(f.phase, f.line, image_.count());
    QString instead;
    if (!f.reply.isEmpty() && f.instead != Verdict::Answer)
        instead = QStringLiteral("; %1 came instead, left out: %2")
                      .arg(quotedReply(f.reply), verdictText(f.instead));
    switch (f.kind) {
    case TransferFailure::Kind::DeviceError:
        return QStringLiteral("the device answered %1 to %2").arg(quotedReply(f.reply), where);
    case TransferFailure::Kind::Unpaired: {
        const QString unproven =
            QStringLiteral(": replies cannot be paired with lines, so the image is not proven");
        if (f.instead == Verdict::EarlyOk)
            return QStringLiteral("the device answered %1 to the last line (%2 of %3, %4 pass) "
                                  "instead of \"DOWNLOAD\", or the network duplicated a reply%5")
                .arg(quotedReply(f.reply))
                .arg(f.line)
                .arg(image_.count())
                .arg(f.phase == TransferPhase::Verify ? QStringLiteral("verify")
                                                      : QStringLiteral("download"),
                     unproven);
        const QString when = f.instead == Verdict::NothingInFlight
                                 ? QStringLiteral("after every line had its answer")
                                 : QStringLiteral("while %1 waited").arg(where);
        return QStringLiteral("the network duplicated 1 reply (%1 came %2; %3)%4")
            .arg(quotedReply(f.reply), when, verdictText(f.instead), unproven);
    }
    case TransferFailure::Kind::NoVersion:
        return QStringLiteral("no \"VER=\" reply to the inquiry within %1%2")
            .arg(secondsText(settings_.limits.inquiryTimeout), instead);
    case TransferFailure::Kind::NoAnswer: {
        QString reason = QStringLiteral("no reply to %1 within %2")
                             .arg(where, secondsText(settings_.limits.replyTimeout));
        if (f.sends > 1)
            reason += QStringLiteral(", sent %1 times").arg(f.sends);
        return reason + instead;
    }
    case TransferFailure::Kind::SendFailed:
        return QStringLiteral("could not send %1: %2").arg(where, udp_.socket()->errorString());
    case TransferFailure::Kind::None:
        break;
    }
    return {};
}

void HostFlasher::install()
{
    if (settled_)
        return;
    // "BOOTg", the pause and the close, exactly as the window's Install.
    controller_.InstallFirmware();
}

void HostFlasher::onLinkClosed()
{
    if (phase_ != Phase::Install || settled_)
        return;
    if (!link_->installSent()) {
        conclude(Outcome::NetworkError,
                 QStringLiteral("could not send \"BOOTg\": %1").arg(udp_.socket()->errorString()));
        return;
    }
    report_.installed = true;
    setPhase(Phase::Done);
    conclude(Outcome::Ok, {});
}

void HostFlasher::conclude(Outcome outcome, const QString &reason)
{
    if (settled_)
        return;
    settled_ = true;
    deadlineTimer_.stop();
    endMs_ = clock_.elapsed();
    report_.outcome = outcome;
    report_.reason = reason;
    report_.phase = phase_;
    report_.line = line_;
    report_.seconds = double(endMs_ - attemptStartMs_) / 1000.0;
    report_.end = QDateTime::currentDateTimeUtc();
    report_.resends = controller_.resends();
    report_.ignoredReplies = controller_.ignoredReplies() + udp_.strangerDatagrams();
    report_.deviceVersion = versionText(controller_.versionReply());
    // Teardown goes through the controller, which may be mid-call right now.
    QMetaObject::invokeMethod(this, &HostFlasher::closeAndFinish, Qt::QueuedConnection);
}

void HostFlasher::resetReport()
{
    report_ = HostReport{};
    report_.host = settings_.host;
    report_.port = settings_.remotePort;
    report_.lineCount = image_.count();
    report_.attempt = attempt_;
    report_.maxAttempts = settings_.attempts;
    report_.dryRun = settings_.dryRun;
}

bool HostFlasher::mayTryAgain() const
{
    return report_.outcome != Outcome::Ok && report_.outcome != Outcome::Interrupted &&
           !interrupted_ && attempt_ < settings_.attempts;
}

void HostFlasher::closeAndFinish()
{
    if (finished_)
        return;
    if (controller_.state().connected == 1)
        controller_.ToggleLink(linkSettings_); // disconnect: timer off, socket closed
    link_->abort();
    const bool again = mayTryAgain();
    finished_ = !again;
    emit attemptEnded(report_);
    if (!again) {
        emit finished();
        return;
    }
    // A new random or system-chosen port never hears the last attempt's late
    // replies; a port the user fixed might, so it first waits them out.
    const bool fixedPort = settings_.localPort && *settings_.localPort != 0;
    nextAttemptTimer_.start(fixedPort ? settings_.limits.replyTimeout : Millis{0});
}

void HostFlasher::setPhase(Phase phase)
{
    if (phase_ == phase)
        return;
    phase_ = phase;
    emit progressed();
}

qint64 HostFlasher::linesDone() const
{
    switch (phase_) {
    case Phase::Download:
        return line_;
    case Phase::Verify:
        return qint64(image_.count()) + line_;
    case Phase::Install:
    case Phase::Done:
        return 2 * qint64(image_.count());
    default:
        return 0;
    }
}

qint64 HostFlasher::elapsedMs() const
{
    return clock_.isValid() ? clock_.elapsed() : 0;
}

HostReport HostFlasher::report() const
{
    HostReport r = report_;
    r.start = firstStart_;
    r.attempt = attempt_;
    if (settled_) {
        r.seconds = double(endMs_) / 1000.0;
    } else {
        r.phase = phase_;
        r.line = line_;
        r.seconds = double(elapsedMs()) / 1000.0;
        r.resends = controller_.resends();
        r.ignoredReplies = controller_.ignoredReplies() + udp_.strangerDatagrams();
    }
    return r;
}

} // namespace corvanel::flash

#include "host_flasher.moc"

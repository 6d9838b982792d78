#pragma once

// Recording fakes of what the transfer drives: the display and the link.
// Both write into one shared event log, so a test can assert the exact order
// of everything the transfer did, and the link keeps every datagram byte for
// byte.

#include "common/operator_error.h"
#include "engine/status_display.h"
#include "link/link_settings.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

namespace corvanel::testing {

struct EventLog {
    QStringList events;
    void add(const QString &event) { events.append(event); }
};

class RecordingDisplay : public StatusDisplay {
public:
    explicit RecordingDisplay(EventLog &log) : log_(log) {}

    QStringList statusWords;
    QString status;
    int barValue = 0;
    int barMaximum = 0;
    quint32 barColour = colour::kBlue;
    QByteArray receivedReply, replyView, classifiedReply;
    bool linkAlive = false;
    bool openFileAllowed = false;
    QString linkCaption = QString(kCaptionConnect);

    void ShowStatus(QLatin1StringView word) override
    {
        status = word;
        statusWords.append(status);
        log_.add(QStringLiteral("status ") + status);
    }
    void SetBarValue(int value) override
    {
        barValue = value;
        log_.add(QStringLiteral("value %1").arg(value));
    }
    void SetBarMaximum(int maximum) override
    {
        barMaximum = maximum;
        log_.add(QStringLiteral("maximum %1").arg(maximum));
    }
    void SetBarColour(quint32 c) override
    {
        barColour = c;
        log_.add(QStringLiteral("colour %1").arg(c));
    }
    void ShowReply(QByteArrayView reply) override
    {
        receivedReply = reply.toByteArray();
        replyView = receivedReply;
        classifiedReply = receivedReply;
        while (classifiedReply.endsWith(' '))
            classifiedReply.chop(1);
        log_.add(QStringLiteral("reply"));
    }
    void ClearReplyView() override
    {
        replyView.clear();
        log_.add(QStringLiteral("clear reply view"));
    }
    void clearReceivedReply() override
    {
        receivedReply.clear();
        log_.add(QStringLiteral("clear received reply"));
    }
    void showLinkAlive(bool alive) override
    {
        linkAlive = alive;
        log_.add(alive ? QStringLiteral("link alive") : QStringLiteral("no link"));
    }
    void allowOpenFile(bool enabled) override
    {
        openFileAllowed = enabled;
        log_.add(enabled ? QStringLiteral("allow open file") : QStringLiteral("forbid open file"));
    }
    void showLinkAction(QLatin1StringView caption) override
    {
        linkCaption = caption;
        log_.add(QStringLiteral("caption ") + linkCaption);
    }

private:
    EventLog &log_;
};

class RecordingLink {
public:
    explicit RecordingLink(EventLog &log) : log_(log) {}

    QList<QByteArray> sent;
    bool isOpen = false;
    bool polling = false;
    std::optional<OperatorError> openError; // what the next Open returns
    LinkSettings lastSettings;

    void flushArpCache() { log_.add(QStringLiteral("arp")); }
    std::optional<OperatorError> open(const LinkSettings &settings)
    {
        lastSettings = settings;
        log_.add(QStringLiteral("open"));
        if (openError)
            return openError;
        isOpen = true;
        return std::nullopt;
    }
    bool send(QByteArrayView datagram)
    {
        log_.add(QStringLiteral("send ") + QString::fromLatin1(datagram.toByteArray()));
        if (!isOpen)
            return false;
        sent.append(datagram.toByteArray());
        return true;
    }
    void close()
    {
        isOpen = false;
        log_.add(QStringLiteral("close"));
    }
    void startInquiryTimer()
    {
        polling = true;
        log_.add(QStringLiteral("start inquiry timer"));
    }
    void stopInquiryTimer()
    {
        polling = false;
        log_.add(QStringLiteral("stop inquiry timer"));
    }
    void pause(std::chrono::milliseconds duration)
    {
        log_.add(QStringLiteral("pause %1").arg(duration.count()));
    }

private:
    EventLog &log_;
};

} // namespace corvanel::testing

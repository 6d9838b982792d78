#pragma once

// Recording fakes of what the window's driver drives: the display and the
// link. Both write into one shared event log, so a test can assert the exact
// order of everything the window did, and the link keeps every datagram byte
// for byte.

#include "common/operator_error.h"
#include "link/link_settings.h"
#include "link/udp_link.h"
#include "window/status_display.h"

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

class RecordingLink : public DatagramLink {
public:
    explicit RecordingLink(EventLog &log) : log_(log) {}

    QList<QByteArray> sent;
    bool open_ = false;
    std::optional<OperatorError> openError; // what the next open returns
    LinkSettings lastSettings;

    std::optional<OperatorError> open(const LinkSettings &settings) override
    {
        lastSettings = settings;
        log_.add(QStringLiteral("open"));
        if (openError)
            return openError;
        open_ = true;
        return std::nullopt;
    }
    bool send(QByteArrayView datagram) override
    {
        log_.add(QStringLiteral("send ") + QString::fromLatin1(datagram.toByteArray()));
        if (!open_)
            return false;
        sent.append(datagram.toByteArray());
        return true;
    }
    void close() override
    {
        open_ = false;
        log_.add(QStringLiteral("close"));
    }
    bool isOpen() const override { return open_; }
    quint16 localPort() const override { return open_ ? 5999 : 0; }
    QString errorString() const override { return QStringLiteral("not open"); }

private:
    EventLog &log_;
};

} // namespace corvanel::testing

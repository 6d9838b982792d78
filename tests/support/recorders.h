#pragma once

// Recording fakes of the transfer's two interfaces. Both write into one shared
// event log, so a test can assert the exact order of everything the controller
// did, and the link keeps every datagram byte for byte.

#include "engine/device_link.h"
#include "engine/status_display.h"

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
    QByteArray receiveData, text3, text8;
    bool linkAlive = false;
    bool openFileEnabled = false;
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
        receiveData = reply.toByteArray();
        text3 = receiveData;
        text8 = receiveData;
        while (text8.endsWith(' '))
            text8.chop(1);
        log_.add(QStringLiteral("reply"));
    }
    void ClearReplyView() override
    {
        text3.clear();
        log_.add(QStringLiteral("clear Text3"));
    }
    void ClearReceivedData() override
    {
        receiveData.clear();
        log_.add(QStringLiteral("clear tbReceiveData"));
    }
    void ShowLinkAlive(bool alive) override
    {
        linkAlive = alive;
        log_.add(alive ? QStringLiteral("YesConnect") : QStringLiteral("NoConnect"));
    }
    void SetOpenFileEnabled(bool enabled) override
    {
        openFileEnabled = enabled;
        log_.add(enabled ? QStringLiteral("enable Command3") : QStringLiteral("disable Command3"));
    }
    void SetLinkCaption(QLatin1StringView caption) override
    {
        linkCaption = caption;
        log_.add(QStringLiteral("caption ") + linkCaption);
    }

private:
    EventLog &log_;
};

class RecordingLink : public DeviceLink {
public:
    explicit RecordingLink(EventLog &log) : log_(log) {}

    QList<QByteArray> sent;
    bool open = false;
    bool polling = false;
    std::optional<OperatorError> openError; // what the next Open returns
    LinkSettings lastSettings;

    void FlushArpCache() override { log_.add(QStringLiteral("arp")); }
    std::optional<OperatorError> Open(const LinkSettings &settings) override
    {
        lastSettings = settings;
        log_.add(QStringLiteral("open"));
        if (openError)
            return openError;
        open = true;
        return std::nullopt;
    }
    bool Send(QByteArrayView datagram) override
    {
        log_.add(QStringLiteral("send ") + QString::fromLatin1(datagram.toByteArray()));
        if (!open)
            return false;
        sent.append(datagram.toByteArray());
        return true;
    }
    void Close() override
    {
        open = false;
        log_.add(QStringLiteral("close"));
    }
    void StartInquiryTimer() override
    {
        polling = true;
        log_.add(QStringLiteral("start Timer2"));
    }
    void StopInquiryTimer() override
    {
        polling = false;
        log_.add(QStringLiteral("stop Timer2"));
    }
    void Pause(std::chrono::milliseconds duration) override
    {
        log_.add(QStringLiteral("pause %1").arg(duration.count()));
    }

private:
    EventLog &log_;
};

} // namespace corvanel::testing

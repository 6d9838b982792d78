#pragma once

#include "engine/status_display.h"

#include <QByteArray>
#include <QString>

#include <functional>

namespace corvanel::flash {

// The flasher's side of the transfer's status display. There is no window:
// the status words and the bar's value tell the flasher how the transfer
// stands ("DOWNLOAD", "VERIFY", "END", "ERROR"; the value is the line sent
// last), and the reply views keep the last reply for a failure report.
class FlashDisplay : public StatusDisplay {
public:
    std::function<void(QLatin1StringView word)> onStatus;
    std::function<void(int value)> onBarValue;

    QString status() const { return status_; }
    int barValue() const { return barValue_; }
    int barMaximum() const { return barMaximum_; }
    quint32 barColour() const { return barColour_; }
    QByteArray lastReply() const { return lastReply_; } // as classified (Text8)

    void ShowStatus(QLatin1StringView word) override;
    void SetBarValue(int value) override;
    void SetBarMaximum(int maximum) override { barMaximum_ = maximum; }
    void SetBarColour(quint32 colour) override { barColour_ = colour; }
    void ShowReply(QByteArrayView reply) override;
    void ClearReplyView() override {}
    void ClearReceivedData() override {}
    void ShowLinkAlive(bool) override {}
    void SetOpenFileEnabled(bool) override {}
    void SetLinkCaption(QLatin1StringView) override {}

private:
    QString status_ = QString(status::kNoFile);
    int barValue_ = 0;
    int barMaximum_ = 0;
    quint32 barColour_ = colour::kBlue;
    QByteArray lastReply_;
};

} // namespace corvanel::flash

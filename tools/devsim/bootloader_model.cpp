#include "tools/devsim/bootloader_model.h"

#include "engine/protocol.h"
#include "image/image_figures.h"

namespace corvanel::devsim {

namespace {

// A verify record stands for a download record when the two differ only where
// the verify record has '#' for ':'. Compared in place: this runs per record.
bool repeats(QByteArrayView verifyRecord, QByteArrayView downloadRecord)
{
    if (verifyRecord.size() != downloadRecord.size())
        return false;
    for (qsizetype i = 0; i < verifyRecord.size(); ++i) {
        const char c = verifyRecord[i] == '#' ? ':' : verifyRecord[i];
        if (c != downloadRecord[i])
            return false;
    }
    return true;
}

} // namespace

void Memory::clear()
{
    pages_.clear();
    size_ = 0;
}

void Memory::write(quint32 address, quint8 byte)
{
    Page &page = pages_[address >> kPageBits];
    const quint32 at = address & (kPageSize - 1);
    if (!page.present.test(at)) {
        page.present.set(at);
        ++size_;
    }
    page.bytes[at] = byte;
}

std::optional<quint8> Memory::read(quint32 address) const
{
    const auto page = pages_.find(address >> kPageBits);
    const quint32 at = address & (kPageSize - 1);
    if (page == pages_.end() || !page->second.present.test(at))
        return std::nullopt;
    return page->second.bytes[at];
}

std::optional<quint32> Memory::lowest() const
{
    for (const auto &[index, page] : pages_) {
        for (quint32 at = 0; at < kPageSize; ++at) {
            if (page.present.test(at))
                return (index << kPageBits) | at;
        }
    }
    return std::nullopt;
}

std::optional<quint32> Memory::highest() const
{
    for (auto it = pages_.rbegin(); it != pages_.rend(); ++it) {
        for (quint32 at = kPageSize; at-- > 0;) {
            if (it->second.present.test(at))
                return (it->first << kPageBits) | at;
        }
    }
    return std::nullopt;
}

quint32 Memory::crc32() const
{
    // The stored bytes in address order, a page at a time, gaps left out.
    quint32 crc = 0;
    QByteArray run;
    run.reserve(kPageSize);
    for (const auto &[index, page] : pages_) {
        run.clear();
        for (quint32 at = 0; at < kPageSize; ++at) {
            if (page.present.test(at))
                run.append(char(page.bytes[at]));
        }
        crc = image::crc32(run, crc);
    }
    return crc;
}

BootloaderModel::BootloaderModel(ModelOptions options) : options_(std::move(options)) {}

BootloaderModel::Outcome BootloaderModel::handle(QByteArrayView message)
{
    if (!message.startsWith(protocol::kPrefix))
        return {Action::Reply, kReplyError.toByteArray(), QStringLiteral("no \"BOOT\" prefix")};
    if (!message.endsWith(protocol::kLineEnd))
        return {Action::Reply, kReplyError.toByteArray(), QStringLiteral("no CR LF at the end")};
    if (message == protocol::kInquiry) {
        inquired_ = true;
        return {Action::Reply, "VER=" + options_.version + "\r\n", {}};
    }
    if (message == protocol::kInstall)
        return {Action::Install, {}, {}};

    const QByteArrayView body =
        message.sliced(protocol::kPrefix.size(),
                       message.size() - protocol::kPrefix.size() - protocol::kLineEnd.size());
    // The line is read after the record moved it on.
    if (body.startsWith(':')) {
        Outcome outcome = download(body);
        return inPass(std::move(outcome), Pass::Download, downloadLine_);
    }
    if (body.startsWith('#')) {
        Outcome outcome = verify(body);
        return inPass(std::move(outcome), Pass::Verify, verifyLine_);
    }
    return {Action::Reply, kReplyError.toByteArray(), QStringLiteral("unknown command")};
}

BootloaderModel::Outcome BootloaderModel::refuse(QString why, int &counter)
{
    ++counter;
    return {Action::Reply, kReplyError.toByteArray(), std::move(why)};
}

BootloaderModel::Outcome BootloaderModel::refuseVerify(QByteArrayView record, QString why)
{
    ++verifyErrors_;
    return taken(record, kReplyError, std::move(why));
}

BootloaderModel::Outcome BootloaderModel::inPass(Outcome outcome, Pass pass, int line)
{
    // Line 0: refused before any pass began.
    if (line > 0) {
        outcome.pass = pass;
        outcome.line = line;
    }
    return outcome;
}

BootloaderModel::Outcome BootloaderModel::resend() const
{
    Outcome outcome{Action::Reply, lastReply_, QStringLiteral("record sent again")};
    outcome.resent = true;
    return outcome;
}

quint32 BootloaderModel::dataAddress(quint32 base, bool segmented, quint16 offset, int index)
{
    if (segmented)
        return base + ((offset + static_cast<quint32>(index)) & 0xFFFFu);
    return base + offset + static_cast<quint32>(index);
}

void BootloaderModel::startImage()
{
    memory_.clear();
    phase_ = Phase::Download;
    inquired_ = false;
    downloadLine_ = 0;
    downloadRecords_.clear();
    dataRecords_ = 0;
    downloadErrors_ = 0;
    lastRecord_.clear();
    base_ = 0;
    segmented_ = false;
    verifyLine_ = 0;
    verifyErrors_ = 0;
    verified_ = false;
}

void BootloaderModel::startVerify()
{
    phase_ = Phase::Verify;
    inquired_ = false;
    lastRecord_.clear();
    base_ = 0;
    segmented_ = false;
    verifyLine_ = 0;
    verifyErrors_ = 0;
    verified_ = false;
}

BootloaderModel::Outcome BootloaderModel::download(QByteArrayView text)
{
    if (options_.refuseDownloads)
        return refuse(QStringLiteral("this board refuses every download record"), downloadErrors_);
    // A download record after a finished pass or an inquiry is a new image.
    const bool sameRecord = !inquired_ && !lastRecord_.isEmpty() && text == lastRecord_;
    if (sameRecord && (phase_ == Phase::Download || phase_ == Phase::DownloadDone))
        return resend();
    if (phase_ != Phase::Download || inquired_)
        startImage();
    ++downloadLine_;
    if (!errorInjected_ && downloadLine_ == options_.errorAtLine) {
        errorInjected_ = true;
        return refuse(QStringLiteral("line %1 refused on request").arg(downloadLine_),
                      downloadErrors_);
    }

    QString why;
    const auto record = parseHexRecord(text, ':', &why);
    if (!record)
        return refuse(QStringLiteral("line %1: %2").arg(downloadLine_).arg(why), downloadErrors_);

    downloadRecords_.append(text.toByteArray());
    switch (record->type) {
    case 0x00:
        for (int i = 0; i < record->data.size(); ++i) {
            memory_.write(dataAddress(base_, segmented_, record->offset, i),
                          static_cast<quint8>(record->data[i]));
        }
        ++dataRecords_;
        break;
    case 0x01:
        phase_ = Phase::DownloadDone;
        return taken(text, options_.okAtEof ? kReplyOk : kReplyPassEnd);
    case hexrecord::kExtendedSegmentAddress:
    case hexrecord::kExtendedLinearAddress:
        setBase(*record);
        break;
    default: // start addresses: nothing to program
        break;
    }
    return taken(text, kReplyOk);
}

void BootloaderModel::setBase(const HexRecord &record)
{
    const quint32 value =
        (static_cast<quint8>(record.data[0]) << 8) | static_cast<quint8>(record.data[1]);
    segmented_ = record.type == hexrecord::kExtendedSegmentAddress;
    base_ = segmented_ ? value << 4 : value << 16;
}

BootloaderModel::Outcome BootloaderModel::taken(QByteArrayView record, QByteArrayView reply,
                                                QString note)
{
    lastRecord_ = record.toByteArray();
    lastReply_ = reply.toByteArray();
    return {Action::Reply, lastReply_, std::move(note)};
}

BootloaderModel::Outcome BootloaderModel::verify(QByteArrayView text)
{
    const bool sameRecord = !inquired_ && !lastRecord_.isEmpty() && text == lastRecord_;
    if (sameRecord && (phase_ == Phase::Verify || phase_ == Phase::VerifyDone))
        return resend();
    if (phase_ == Phase::DownloadDone || phase_ == Phase::VerifyDone ||
        (phase_ == Phase::Verify && inquired_)) {
        startVerify();
    } else if (phase_ != Phase::Verify) {
        return refuse(QStringLiteral("verify record but no downloaded image"), verifyErrors_);
    }

    // The verify pass sends the download pass again, record by record: a
    // record left out, repeated in place of another or changed is refused
    // even where its bytes match the memory.
    ++verifyLine_;
    if (verifyLine_ > downloadRecords_.size()) {
        return refuseVerify(text, QStringLiteral("verify line %1, but the download had %2 records")
                                      .arg(verifyLine_)
                                      .arg(downloadRecords_.size()));
    }
    if (!repeats(text, downloadRecords_[verifyLine_ - 1])) {
        return refuseVerify(
            text, QStringLiteral("verify line %1 differs from download line %1").arg(verifyLine_));
    }

    QString why;
    const auto record = parseHexRecord(text, '#', &why);
    if (!record)
        return refuseVerify(text, QStringLiteral("verify line %1: %2").arg(verifyLine_).arg(why));

    switch (record->type) {
    case 0x00:
        for (int i = 0; i < record->data.size(); ++i) {
            const quint32 address = dataAddress(base_, segmented_, record->offset, i);
            const auto stored = memory_.read(address);
            if (!stored || *stored != static_cast<quint8>(record->data[i])) {
                return refuseVerify(
                    text, QStringLiteral("verify mismatch at %1").arg(image::hexAddress(address)));
            }
        }
        break;
    case 0x01: {
        // The end record matched the download's last one, so every line of
        // the pass was seen, each either matched or counted in verifyErrors_.
        phase_ = Phase::VerifyDone;
        verified_ = verifyErrors_ == 0 && downloadErrors_ == 0;
        if (downloadErrors_ > 0) {
            return taken(text, kReplyError,
                         QStringLiteral("the download refused %1 line(s)").arg(downloadErrors_));
        }
        if (verifyErrors_ > 0) {
            return taken(text, kReplyError,
                         QStringLiteral("%1 verify line(s) did not match").arg(verifyErrors_));
        }
        return taken(text, options_.okAtEof ? kReplyOk : kReplyPassEnd);
    }
    case hexrecord::kExtendedSegmentAddress:
    case hexrecord::kExtendedLinearAddress:
        setBase(*record);
        break;
    default:
        break;
    }
    return taken(text, kReplyOk);
}

ImageSummary BootloaderModel::summary() const
{
    ImageSummary s;
    s.records = static_cast<int>(downloadRecords_.size());
    s.dataRecords = dataRecords_;
    s.bytes = memory_.size();
    s.lowAddress = memory_.lowest().value_or(0);
    s.highAddress = memory_.highest().value_or(0);
    s.crc32 = memory_.crc32();
    s.downloadComplete =
        phase_ == Phase::DownloadDone || phase_ == Phase::Verify || phase_ == Phase::VerifyDone;
    s.verified = verified_;
    s.downloadErrors = downloadErrors_;
    s.verifyErrors = verifyErrors_;
    return s;
}

} // namespace corvanel::devsim

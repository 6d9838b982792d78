#pragma once

#include "image/intel_hex.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QString>
#include <QtGlobal>

#include <array>
#include <bitset>
#include <map>
#include <optional>

// The simulated bootloader without any I/O: it takes one received message and
// says what to answer. The UDP server around it adds the faults of the wire.
namespace corvanel::devsim {

inline constexpr QByteArrayView kReplyOk = "OK\r\n";
inline constexpr QByteArrayView kReplyError = "ERROR\r\n";
inline constexpr QByteArrayView kReplyPassEnd = "DOWNLOAD\r\n";
inline constexpr QByteArrayView kDefaultVersion = "DEVSIM 1.0";

// The programmed memory: bytes by 32-bit address, with gaps.
class Memory {
public:
    void clear();
    void write(quint32 address, quint8 byte);
    std::optional<quint8> read(quint32 address) const;
    qint64 size() const { return size_; }
    std::optional<quint32> lowest() const;
    std::optional<quint32> highest() const;
    // CRC-32 of the stored bytes in address order, gaps left out.
    quint32 crc32() const;

private:
    static constexpr int kPageBits = 8;
    static constexpr quint32 kPageSize = 1u << kPageBits;
    struct Page {
        std::array<quint8, kPageSize> bytes{};
        std::bitset<kPageSize> present;
    };
    std::map<quint32, Page> pages_; // by address >> kPageBits
    qint64 size_ = 0;
};

struct ModelOptions {
    QByteArray version = kDefaultVersion.toByteArray(); // after "VER="
    int errorAtLine = 0;          // "ERROR" to this download line, once (0: never)
    bool okAtEof = false;         // plain "OK" to end-of-file records
    bool refuseDownloads = false; // a broken board: "ERROR" to every download record
};

struct ImageSummary {
    int records = 0; // records taken in the download pass, end record included
    int dataRecords = 0;
    qint64 bytes = 0;
    quint32 lowAddress = 0;
    quint32 highAddress = 0;
    quint32 crc32 = 0;
    bool downloadComplete = false; // the end record of the download arrived
    bool verified = false;         // a verify pass repeated the download record by record
    int downloadErrors = 0;
    int verifyErrors = 0;
};

class BootloaderModel {
public:
    enum class Action {
        Reply,   // send `reply` back to the sender
        Install, // "BOOTg": start the firmware; no answer
    };
    enum class Pass { None, Download, Verify };
    struct Outcome {
        Action action = Action::Reply;
        QByteArray reply;
        QString note; // why a message was refused, for the log
        // Which record of which pass the message was, so that the server can
        // aim its faults at one; line counts from 1, 0 for any other message.
        Pass pass = Pass::None;
        int line = 0;
        bool resent = false; // the record just handled, sent again
    };

    explicit BootloaderModel(ModelOptions options = {});

    Outcome handle(QByteArrayView message);

    ImageSummary summary() const;
    const Memory &memory() const { return memory_; }
    int downloadLine() const { return downloadLine_; }
    int downloadErrors() const { return downloadErrors_; }

private:
    enum class Phase { Idle, Download, DownloadDone, Verify, VerifyDone };

    Outcome download(QByteArrayView record);
    Outcome verify(QByteArrayView record);
    void startImage();
    void startVerify();
    // An extended address record: the base of the data records that follow.
    void setBase(const HexRecord &record);
    Outcome refuse(QString why, int &counter);
    // A refused verify record stays the last one, so that a copy sent again
    // gets "ERROR" again without counting twice or moving the pass on.
    Outcome refuseVerify(QByteArrayView record, QString why);
    static Outcome inPass(Outcome outcome, Pass pass, int line);
    static quint32 dataAddress(quint32 base, bool segmented, quint16 offset, int index);

    ModelOptions options_;
    Memory memory_;
    Phase phase_ = Phase::Idle;
    bool inquired_ = false; // a "BOOTi" since the pass began: the next record restarts
    // The record handled last in this pass. The same record again is the tool
    // sending it anew after a lost reply: it is answered, but not counted twice.
    QByteArray lastRecord_;
    QByteArray lastReply_;
    Outcome resend() const;
    Outcome taken(QByteArrayView record, QByteArrayView reply, QString note = {});
    bool errorInjected_ = false;

    int downloadLine_ = 0; // download messages in this pass
    // The records taken in this download pass, in order: the verify pass must
    // send exactly these again.
    QList<QByteArray> downloadRecords_;
    int dataRecords_ = 0;
    int downloadErrors_ = 0;
    quint32 base_ = 0;       // extended address of the pass under way
    bool segmented_ = false; // type 02 base: offsets wrap within 64 KiB

    int verifyLine_ = 0; // verify records in this pass, refused ones included
    int verifyErrors_ = 0;
    bool verified_ = false;
};

} // namespace corvanel::devsim

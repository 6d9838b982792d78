#pragma once

#include <QByteArray>
#include <QString>

#include <memory>
#include <optional>

class QFile;

namespace corvanel {

// The --report file: JSON Lines appended, never rewritten. Opened in append
// mode, and each record goes out in one write of one whole line, so that
// runs on several stations (or several runs on one) may share a file: the
// system puts each write at the end of the file as it stands at that moment,
// whole, and two records never mix. A record never continues a line that
// another left unfinished (a disk that was full, a file size limit): when
// the file does not end in a line end, the record begins with one.
class ReportFile {
public:
    ReportFile() = default;
    ~ReportFile();
    ReportFile(const ReportFile &) = delete;
    ReportFile &operator=(const ReportFile &) = delete;

    // Creates the file when it is not there. Refuses, without waiting, a
    // path that is not a regular file (a FIFO, a device, a folder). The
    // error names the file.
    std::optional<QString> open(const QString &path);
    bool isOpen() const;
    // One complete line, its '\n' included. The error names the file.
    std::optional<QString> append(const QByteArray &line);

private:
    QString path_;
#ifdef Q_OS_UNIX
    int fd_ = -1;
    bool readable_ = false; // the last byte can be read back
#else
    std::unique_ptr<QFile> file_;
#endif
};

} // namespace corvanel

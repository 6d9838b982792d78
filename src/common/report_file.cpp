#include "common/report_file.h"

#include "common/file_check.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace corvanel {

namespace {

QString shown(const QString &path)
{
    return QDir::toNativeSeparators(path);
}

#ifdef Q_OS_UNIX

// A file replaced between the check and the open.
QString notRegular(const QString &path, FileKind kind)
{
    return QStringLiteral("the report \"%1\" is %2, not a regular file")
        .arg(shown(path), describe(kind));
}

QString errnoText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

ssize_t writeAll(int fd, const char *data, size_t size)
{
    ssize_t written = -1;
    do {
        written = ::write(fd, data, size);
    } while (written < 0 && errno == EINTR);
    return written;
}

#endif

} // namespace

ReportFile::~ReportFile()
{
#ifdef Q_OS_UNIX
    if (fd_ >= 0)
        ::close(fd_);
#endif
}

#ifdef Q_OS_UNIX

std::optional<QString> ReportFile::open(const QString &path)
{
    path_ = path;
    if (path.isEmpty())
        return QStringLiteral("the report needs a file name");
    const QByteArray name = QFile::encodeName(path);
    // Looked at before it is opened: opening a device may already do
    // something, and a FIFO would wait for a reader.
    if (auto refused = checkFile({QStringLiteral("the report"), path, FileUse::Direction::Write}))
        return refused;
    // O_APPEND: every write lands at the end of the file as it is then, also
    // when another process has written since this one opened it. O_NONBLOCK:
    // a FIFO put in place since is not waited for either; fstat() refuses it.
    const int flags = O_CREAT | O_APPEND | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;
    fd_ = ::open(name.constData(), O_RDWR | flags, 0666);
    readable_ = fd_ >= 0;
    if (fd_ < 0 && errno == EACCES)
        fd_ = ::open(name.constData(), O_WRONLY | flags, 0666);
    if (fd_ < 0) {
        return QStringLiteral("cannot open the report \"%1\" for appending: %2")
            .arg(shown(path), errnoText(errno));
    }
    if (const FileKind kind = fileKind(fd_); kind != FileKind::Regular) {
        ::close(fd_);
        fd_ = -1;
        return notRegular(path, kind);
    }
    ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) & ~O_NONBLOCK);
    return std::nullopt;
}

bool ReportFile::isOpen() const
{
    return fd_ >= 0;
}

std::optional<QString> ReportFile::append(const QByteArray &line)
{
    // A line left unfinished before (by this run or another) is ended first,
    // in the same write, so that the record is never glued to it.
    QByteArray record = line;
    struct stat info {};
    char last = '\n';
    if (readable_ && ::fstat(fd_, &info) == 0 && info.st_size > 0 &&
        ::pread(fd_, &last, 1, info.st_size - 1) == 1 && last != '\n')
        record.prepend('\n');
    const ssize_t written = writeAll(fd_, record.constData(), size_t(record.size()));
    if (written == record.size())
        return std::nullopt;
    const int error = errno;
    // The rest is not written after it: another process may have appended in
    // between, and a line split around its record is worse than a short one.
    // A short record still gets its line end where the disk takes one more
    // byte; where it does not, the next record starts with one.
    if (written > 0)
        writeAll(fd_, "\n", 1);
    const QString why =
        written < 0 ? errnoText(error)
                    : QStringLiteral("only %1 of %2 bytes written").arg(written).arg(record.size());
    return QStringLiteral("cannot append to the report \"%1\": %2").arg(shown(path_), why);
}

#else

std::optional<QString> ReportFile::open(const QString &path)
{
    path_ = path;
    if (path.isEmpty())
        return QStringLiteral("the report needs a file name");
    if (auto refused = checkFile({QStringLiteral("the report"), path, FileUse::Direction::Write}))
        return refused;
    file_ = std::make_unique<QFile>(path);
    // Append and unbuffered: one write per record, at the end of the file.
    if (!file_->open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered)) {
        const QString why = file_->errorString();
        file_.reset();
        return QStringLiteral("cannot open the report \"%1\" for appending: %2")
            .arg(shown(path), why);
    }
    return std::nullopt;
}

bool ReportFile::isOpen() const
{
    return file_ != nullptr;
}

std::optional<QString> ReportFile::append(const QByteArray &line)
{
    QByteArray record = line;
    QFile reader(path_);
    char last = '\n';
    if (reader.open(QIODevice::ReadOnly) && reader.size() > 0 && reader.seek(reader.size() - 1) &&
        reader.getChar(&last) && last != '\n')
        record.prepend('\n');
    const qint64 written = file_->write(record);
    if (written == record.size())
        return std::nullopt;
    if (written > 0)
        file_->write("\n", 1);
    return QStringLiteral("cannot append to the report \"%1\": %2")
        .arg(shown(path_), file_->errorString());
}

#endif

} // namespace corvanel

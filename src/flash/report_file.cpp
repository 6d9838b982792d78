#include "flash/report_file.h"

#include <QDir>
#include <QFile>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#endif

namespace corvanel::flash {

namespace {

QString shown(const QString &path)
{
    return QDir::toNativeSeparators(path);
}

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
    // O_APPEND: every write lands at the end of the file as it is then, also
    // when another process has written since this one opened it.
    fd_ = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC,
                 0666);
    if (fd_ < 0) {
        return QStringLiteral("cannot open the report \"%1\" for appending: %2")
            .arg(shown(path), QString::fromLocal8Bit(std::strerror(errno)));
    }
    return std::nullopt;
}

bool ReportFile::isOpen() const
{
    return fd_ >= 0;
}

std::optional<QString> ReportFile::append(const QByteArray &line)
{
    ssize_t written = -1;
    do {
        written = ::write(fd_, line.constData(), size_t(line.size()));
    } while (written < 0 && errno == EINTR);
    if (written == line.size())
        return std::nullopt;
    // The rest is not written after it: another process may have appended in
    // between, and a line split around its record is worse than a short one.
    const QString why =
        written < 0 ? QString::fromLocal8Bit(std::strerror(errno))
                    : QStringLiteral("only %1 of %2 bytes written").arg(written).arg(line.size());
    return QStringLiteral("cannot append to the report \"%1\": %2").arg(shown(path_), why);
}

#else

std::optional<QString> ReportFile::open(const QString &path)
{
    path_ = path;
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
    if (file_->write(line) == line.size())
        return std::nullopt;
    return QStringLiteral("cannot append to the report \"%1\": %2")
        .arg(shown(path_), file_->errorString());
}

#endif

} // namespace corvanel::flash

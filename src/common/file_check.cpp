#include "common/file_check.h"

#include "common/command_line.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#endif

namespace corvanel {

namespace {

#ifdef Q_OS_UNIX
FileKind kindOf(mode_t mode)
{
    if (S_ISREG(mode))
        return FileKind::Regular;
    if (S_ISDIR(mode))
        return FileKind::Folder;
    if (S_ISFIFO(mode))
        return FileKind::Fifo;
    if (S_ISCHR(mode) || S_ISBLK(mode))
        return FileKind::Device;
    if (S_ISSOCK(mode))
        return FileKind::Socket;
    return FileKind::Other;
}
#endif

QString quoted(const QString &path)
{
    return QLatin1Char('"') + cli::shown(QDir::toNativeSeparators(path)) + QLatin1Char('"');
}

QString quoted(const FileUse &use)
{
    if (use.standardStream && use.path == QLatin1String("-"))
        return use.direction == FileUse::Direction::Read ? QStringLiteral("standard input")
                                                         : QStringLiteral("standard output");
    return quoted(use.path);
}

// What makes two uses one file; empty for a path that cannot be told.
QString identity(const FileUse &use)
{
    if (use.standardStream && use.path == QLatin1String("-"))
        return use.direction == FileUse::Direction::Read ? QStringLiteral("stdin")
                                                         : QStringLiteral("stdout");
#ifdef Q_OS_UNIX
    struct stat info {};
    if (::stat(QFile::encodeName(use.path).constData(), &info) == 0)
        return QStringLiteral("inode %1:%2").arg(quint64(info.st_dev)).arg(quint64(info.st_ino));
#else
    if (const QString canonical = QFileInfo(use.path).canonicalFilePath(); !canonical.isEmpty())
        return canonical;
#endif
    return QDir::cleanPath(QFileInfo(use.path).absoluteFilePath());
}

} // namespace

FileKind fileKind(const QString &path)
{
#ifdef Q_OS_UNIX
    struct stat info {};
    if (::stat(QFile::encodeName(path).constData(), &info) != 0)
        return FileKind::Missing;
    return kindOf(info.st_mode);
#else
    const QFileInfo info(path);
    if (!info.exists())
        return FileKind::Missing;
    return info.isDir() ? FileKind::Folder : info.isFile() ? FileKind::Regular : FileKind::Other;
#endif
}

#ifdef Q_OS_UNIX
FileKind fileKind(int fd)
{
    struct stat info {};
    return ::fstat(fd, &info) == 0 ? kindOf(info.st_mode) : FileKind::Missing;
}
#endif

QString describe(FileKind kind)
{
    switch (kind) {
    case FileKind::Missing:
        return QStringLiteral("not there");
    case FileKind::Regular:
        return QStringLiteral("a regular file");
    case FileKind::Folder:
        return QStringLiteral("a folder");
    case FileKind::Fifo:
        return QStringLiteral("a FIFO");
    case FileKind::Device:
        return QStringLiteral("a device");
    case FileKind::Socket:
        return QStringLiteral("a socket");
    case FileKind::Other:
        break;
    }
    return QStringLiteral("not a plain file");
}

std::optional<QString> checkFile(const FileUse &use)
{
    if (use.path == QLatin1String("-")) {
        if (use.standardStream)
            return std::nullopt;
        return QStringLiteral("%1 \"-\": give a file name (\"./-\" for a file called \"-\")")
            .arg(use.role);
    }
    const FileKind kind = fileKind(use.path);
    if (kind == FileKind::Missing || kind == FileKind::Regular)
        return std::nullopt;
    QString text = QStringLiteral("%1 %2 is %3, not a regular file")
                       .arg(use.role, quoted(use.path), describe(kind));
    if (use.standardStream)
        text += use.direction == FileUse::Direction::Read
                    ? QStringLiteral(" (\"-\" reads standard input)")
                    : QStringLiteral(" (\"-\" writes standard output)");
    return text;
}

std::optional<QString> checkDistinct(const QList<FileUse> &uses)
{
    QList<QString> seen;
    for (const FileUse &use : uses) {
        const QString id = identity(use);
        const qsizetype earlier = seen.indexOf(id);
        seen.append(id);
        if (earlier < 0)
            continue;
        const FileUse &first = uses[earlier];
        if (first.mayShare && use.mayShare)
            continue;
        if (first.path == use.path)
            return QStringLiteral("%1 is both %2 and %3").arg(quoted(use), first.role, use.role);
        return QStringLiteral("%1 (%2) and %3 (%4) are the same file")
            .arg(quoted(first), first.role, quoted(use), use.role);
    }
    return std::nullopt;
}

} // namespace corvanel

#pragma once

#include <QList>
#include <QString>

#include <optional>

// One check for every file a program opens by name: what it is, looked at
// before it is opened (opening a FIFO waits for the other end, opening a
// device may already do something), and whether two roles name one file.
namespace corvanel {

enum class FileKind { Missing, Regular, Folder, Fifo, Device, Socket, Other };

// What `path` names now; Missing also when it cannot be looked at.
FileKind fileKind(const QString &path);
#ifdef Q_OS_UNIX
// What an open descriptor is: a file may have been replaced since it was looked at.
FileKind fileKind(int fd);
#endif
// "a folder", "a FIFO", "a device", ...
QString describe(FileKind kind);

// A file in the role it has for the program.
struct FileUse {
    enum class Direction { Read, Write };
    QString role; // "the image", "the report (line-3.conf:2)"
    QString path; // as given
    Direction direction = Direction::Read;
    bool standardStream = false; // "-" is standard input (Read) or output (Write)
    // Roles that may name one file with each other: a report read whole
    // before anything is appended to it.
    bool mayShare = false;
};

// Empty when the file may be opened: a regular file, a file that is not
// there yet (the opener says why it cannot be made or read), or "-" where it
// stands for a standard stream. A folder, FIFO, device or socket is refused,
// naming the role and the path. A FIFO or device is never opened here, so
// nothing waits.
std::optional<QString> checkFile(const FileUse &use);

// Refuses two roles of one file, naming both: the same device and inode
// (hard links, symbolic links), or, for a file not there yet, the same
// absolute path. "-" is standard input or output, one each.
std::optional<QString> checkDistinct(const QList<FileUse> &uses);

} // namespace corvanel

#include "addresses/address_list.h"

#include "common/field_reader.h"

#include <QBuffer>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#endif

namespace corvanel {

namespace {

// Far longer than any host name; a longer field means an entry that is no
// address, and it is skipped alone.
constexpr qsizetype kMaxAddressBytes = 4096;

// Where a file is longer than what is read, the last field read may be cut
// short; it ends the head only if a comma or line end follows it there.
void dropCutField(QByteArray &head)
{
    qsizetype end = head.size();
    while (end > 0 && head.at(end - 1) != ',' && head.at(end - 1) != '\n')
        --end;
    head.truncate(end);
}

// Reads the non-empty fields of the file into `entries`. False when the file
// cannot be read or holds no entry; what was read before a failure stays.
bool readAddresses(QStringList &entries, const QString &path)
{
    // A FIFO or a device could block start-up; only a plain file is read.
    if (!QFileInfo(path).isFile())
        return false;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return false;
    // Only the head of the file is read, in one go: its size bounds both
    // memory and time, whatever the file holds.
    QByteArray head = file.read(kMaxAddressFileBytes);
    const bool readFailed = file.error() != QFileDevice::NoError;
    if (!readFailed && !file.atEnd())
        dropCutField(head);
    QBuffer buffer(&head);
    buffer.open(QIODevice::ReadOnly);

    FieldReader reader(buffer, kMaxAddressBytes);
    QByteArray field;
    // The first read comes before any end test, so an empty file holds no entry.
    do {
        if (reader.readField(field)) {
            if (!field.isEmpty())
                entries.append(QString::fromLatin1(field));
        } else if (reader.error() != FieldReader::Error::FieldTooLong ||
                   !reader.skipTooLongField()) {
            break;
        }
    } while (entries.size() < kMaxAddressEntries && !reader.atEnd());
    return !readFailed && !entries.isEmpty();
}

OperatorError saveError(const QString &path, int number, const QString &why)
{
    return OperatorError{number, QStringLiteral("Cannot save the address list to \"%1\": %2")
                                     .arg(QDir::toNativeSeparators(path), why)};
}

// Why the new file could not even be started.
OperatorError openError(const QString &path, const QSaveFile &file)
{
    const QFileInfo info(path);
    const QFileInfo folder(info.absolutePath());
    const int number =
        !folder.isDir() || info.isDir() ? errnum::kPathAccess : errnum::kPermissionDenied;
    return saveError(path, number, file.errorString());
}

// The new file is written by this process and would be its own, with default
// mode bits: it takes those of the old one. Giving a file away is for
// privileged processes only; elsewhere the saved file stays this process's own.
void keepOwnerAndMode(QSaveFile &file, const QString &path)
{
#ifdef Q_OS_UNIX
    struct stat old {};
    if (::stat(QFile::encodeName(path).constData(), &old) != 0)
        return; // a new file
    const int fd = file.handle();
    if (::fchown(fd, old.st_uid, old.st_gid) != 0) {
        // not permitted: keep this process's owner and group
    }
    // After the owner: changing it may clear the set-id bits.
    if (::fchmod(fd, old.st_mode & 07777) != 0) {
        // the temporary file's mode stays; QSaveFile copied the plain bits
    }
#else
    Q_UNUSED(file);
    Q_UNUSED(path);
#endif
}

// A short write sets no error; writing on brings out the system's reason
// (no space, file too large).
bool writeAll(QFileDevice &file, const QByteArray &data, QString &why)
{
    for (qsizetype done = 0; done < data.size();) {
        const qint64 n = file.write(data.constData() + done, data.size() - done);
        if (n <= 0) {
            why = file.errorString();
            return false;
        }
        done += n;
    }
    return true;
}

bool syncToDisk(QFile &file, QString &why)
{
#ifdef Q_OS_UNIX
    if (::fsync(file.handle()) != 0) {
        why = qt_error_string(errno);
        return false;
    }
#endif
    if (!file.flush()) {
        why = file.errorString();
        return false;
    }
    return true;
}

// Rewrites an open file in place, for a folder that takes no new file. The
// old bytes that the new list will cover are kept first, and the old file is
// cut to the new length only once the new list is on disk: up to that last
// step the kept bytes, written back over the start, and the old length give
// the old file again. Only as much is kept as is written, however long the
// old file is.
bool rewriteInPlace(QFile &file, const QByteArray &data, QString &why)
{
    const qint64 oldSize = file.size();
    const qint64 covered = qMin<qint64>(oldSize, data.size());
    const QByteArray kept = file.read(covered);
    if (kept.size() != covered) {
        why = file.errorString(); // nothing written yet
        return false;
    }
    if (file.seek(0) && writeAll(file, data, why) && syncToDisk(file, why)) {
        if (file.resize(data.size()))
            return true;
    }
    if (why.isEmpty())
        why = file.errorString();
    // Writing back what was there needs no room that the old file did not have.
    QString ignored;
    if (file.seek(0) && writeAll(file, kept, ignored) && file.resize(oldSize))
        syncToDisk(file, ignored);
    return false;
}

} // namespace

void LoadAddresses(QComboBox &box, const QString &path)
{
    box.clear();
    // A missing or unusable file is no news for the operator: the default
    // address is added to whatever was read, silently. The entries go in with
    // one call, so a long list does not cost one model update per line.
    QStringList entries;
    const bool read = readAddresses(entries, path);
    if (!read)
        entries.append(QString(kDefaultAddress));
    box.addItems(entries);
    box.setCurrentIndex(0);
}

void AddAddress(QComboBox &box)
{
    const QString text = box.currentText();
    if (text.isEmpty())
        return;
    const int index = box.currentIndex();
    box.addItem(text);
    // Adding to an empty box selects the new item; the selection and the
    // operator's text must stay as they were.
    if (box.currentIndex() != index)
        box.setCurrentIndex(index);
    if (box.isEditable() && box.currentText() != text)
        box.setEditText(text);
}

void DeleteAddress(QComboBox &box)
{
    const int index = box.currentIndex();
    if (index < 0 || index >= box.count())
        return;
    // The box keeps its index while the operator types; a text that differs
    // from the item's means no item is selected any more.
    if (box.isEditable() && box.currentText() != box.itemText(index))
        return;
    box.removeItem(index);
}

void SaveAddresses(const QComboBox &box, OperatorPrompts &prompts, const QString &path)
{
    QByteArray data;
    for (int i = 0; i < box.count(); ++i) {
        data += box.itemText(i).toLatin1();
        data += "\r\n";
    }

    // The old list is replaced only by a complete new one: QSaveFile writes
    // beside it and renames on commit; on failure the destructor discards.
    QSaveFile file(path);
    if (file.open(QIODevice::WriteOnly)) {
        keepOwnerAndMode(file, path);
        QString why;
        if (!writeAll(file, data, why) || !file.commit())
            prompts.showError(
                saveError(path, errnum::kDeviceIo, why.isEmpty() ? file.errorString() : why));
        return;
    }
    // No file can be made beside it, but the file itself may be writable.
    // QSaveFile's own direct-write fallback would empty it before writing, so
    // a failure part-way could not be undone; it is rewritten in place here.
    QFile direct(path);
    if (QFileInfo(path).isFile() && direct.open(QIODevice::ReadWrite | QIODevice::Unbuffered)) {
        QString why;
        if (!rewriteInPlace(direct, data, why))
            prompts.showError(saveError(path, errnum::kDeviceIo, why));
        return;
    }
    prompts.showError(openError(path, file));
}

} // namespace corvanel

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

// Reads the non-empty fields of the file into `entries`, up to
// kMaxAddressEntries, and counts what it leaves out.
AddressFileRead readAddresses(QStringList &entries, const QString &path)
{
    AddressFileRead read;
    // A FIFO or a device could block start-up; only a plain file is read.
    if (!QFileInfo(path).isFile())
        return read;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
        read.failure = file.errorString();
        return read;
    }
    // Only the head of the file is read, in one go: its size bounds both
    // memory and time, whatever the file holds.
    QByteArray head = file.read(kMaxAddressFileBytes);
    if (file.error() != QFileDevice::NoError) {
        read.failure = file.errorString();
    } else if (!file.atEnd()) {
        read.fileSize = qMax(file.size(), head.size() + 1);
        dropCutField(head);
    }
    QBuffer buffer(&head);
    buffer.open(QIODevice::ReadOnly);

    // Past the limit the head is still read to the end, to count what is left.
    FieldReader reader(buffer, kMaxAddressBytes);
    QByteArray field;
    // The first read comes before any end test, so an empty file holds no entry.
    do {
        if (reader.readField(field)) {
            if (field.isEmpty())
                continue;
            if (entries.size() < kMaxAddressEntries)
                entries.append(QString::fromLatin1(field));
            else
                ++read.entriesPastLimit;
        } else if (reader.error() == FieldReader::Error::FieldTooLong) {
            ++read.tooLongEntries;
            if (!reader.skipTooLongField())
                break;
        } else {
            break;
        }
    } while (!reader.atEnd());
    return read;
}

OperatorError saveError(const QString &path, int number, const QString &why)
{
    return OperatorError{number, OperatorError::What::SaveAddresses, QDir::toNativeSeparators(path),
                         why};
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

QString counted(qint64 n, const char *one, const char *many)
{
    return QStringLiteral("%1 %2").arg(n).arg(QLatin1StringView(n == 1 ? one : many));
}

} // namespace

OperatorError AddressFileRead::refusal(const QString &path) const
{
    QStringList left;
    if (!failure.isEmpty())
        left << QStringLiteral("it could not be read: %1").arg(failure);
    if (entriesPastLimit > 0)
        left << counted(entriesPastLimit, "entry", "entries") +
                    QStringLiteral(" after the first %1").arg(kMaxAddressEntries);
    if (tooLongEntries > 0)
        left << counted(tooLongEntries, "entry", "entries") +
                    QStringLiteral(" longer than %1 bytes").arg(kMaxAddressBytes);
    if (fileSize > 0)
        left << QStringLiteral("the %1 bytes after its first %2")
                    .arg(fileSize - kMaxAddressFileBytes)
                    .arg(kMaxAddressFileBytes);
    const int number = !failure.isEmpty()                     ? errnum::kDeviceIo
                       : entriesPastLimit > 0 || fileSize > 0 ? errnum::kSubscriptOutOfRange
                                                              : errnum::kLineTooLong;
    return saveError(path, number,
                     QStringLiteral("start-up did not read the whole file (%1), and saving the "
                                    "list shown would lose the rest. The file is left as it is; "
                                    "edit it by hand and start again.")
                         .arg(left.join(QStringLiteral("; "))));
}

AddressFileRead LoadAddresses(QComboBox &box, const QString &path)
{
    box.clear();
    // A missing or unusable file is no news for the operator: the default
    // address is added to whatever was read, silently. The entries go in with
    // one call, so a long list does not cost one model update per line.
    QStringList entries;
    AddressFileRead read = readAddresses(entries, path);
    if (entries.isEmpty() || !read.failure.isEmpty())
        entries.append(QString(kDefaultAddress));
    box.addItems(entries);
    box.setCurrentIndex(0);
    return read;
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

void SaveAddresses(const QComboBox &box, OperatorPrompts &prompts, const AddressFileRead &read,
                   const QString &path)
{
    // The list shown is all that would be written: what start-up left unread
    // is kept by leaving the file alone.
    if (!read.complete()) {
        prompts.showError(read.refusal(path));
        return;
    }
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

#include "addresses/address_list.h"

#include "common/field_reader.h"

#include <QBuffer>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

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

OperatorError saveError(const QString &path, const QSaveFile &file, bool opened)
{
    int number = errnum::kDeviceIo;
    if (!opened) {
        const QFileInfo info(path);
        const QFileInfo folder(info.absolutePath());
        if (!folder.isDir() || info.isDir())
            number = errnum::kPathAccess;
        else
            number = errnum::kPermissionDenied;
    }
    return OperatorError{number, QStringLiteral("Cannot save the address list to \"%1\": %2")
                                     .arg(QDir::toNativeSeparators(path), file.errorString())};
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
    if (!file.open(QIODevice::WriteOnly)) {
        prompts.showError(saveError(path, file, false));
        return;
    }
    if (file.write(data) != data.size() || !file.commit())
        prompts.showError(saveError(path, file, true));
}

} // namespace corvanel

#pragma once

#include "common/operator_prompts.h"

#include <QString>
#include <QStringList>

#include <optional>

class QComboBox;

namespace corvanel {

inline constexpr QLatin1StringView kAddressFileName{"BOOTLOADER.ini"};
inline constexpr QLatin1StringView kDefaultAddress{"192.168.1.25"};
// Start-up reads no more than this many entries, from no more than the first
// kMaxAddressFileBytes of the file: far beyond any real list, and small enough
// that any file, however large, opens the window quickly in little memory.
inline constexpr int kMaxAddressEntries = 10000;
inline constexpr qint64 kMaxAddressFileBytes = 1024 * 1024;

// What start-up left of the file unread. "Save" writes the list the box
// shows, so while any of this is there it refuses rather than lose it.
struct AddressFileRead {
    int entriesPastLimit = 0; // entries after the first kMaxAddressEntries, in the part read
    int tooLongEntries = 0;   // entries longer than any host name, skipped
    qint64 fileSize = 0;      // set when the file runs on past kMaxAddressFileBytes
    QString failure;          // the file is there but could not be read (whole): why

    bool complete() const
    {
        return entriesPastLimit == 0 && tooLongEntries == 0 && fileSize == 0 && failure.isEmpty();
    }
    // The "Error#" box that refuses "Save": the file and what was not read.
    OperatorError refusal(const QString &path) const;
};

// Start-up: fills the box from the file (in the current directory by default),
// selects item 0; falls back silently to the default address. An entry longer
// than any host name is skipped alone. Returns what was left unread.
AddressFileRead LoadAddresses(QComboBox &box, const QString &path = kAddressFileName);
// "Add": the edit text as a new item, if not empty.
void AddAddress(QComboBox &box);
// "Del": removes the selected item; nothing when no item is selected.
void DeleteAddress(QComboBox &box);
// "Save": every item + CR LF, replacing the file only once it is complete; the
// file keeps its mode, and its owner where the process may give files away. In
// a folder that takes no new file the file is rewritten in place, and put back
// as it was if that fails. When start-up did not read the whole file (`read`),
// nothing is written and an "Error#" box says why.
void SaveAddresses(const QComboBox &box, OperatorPrompts &prompts, const AddressFileRead &read,
                   const QString &path = kAddressFileName);

} // namespace corvanel

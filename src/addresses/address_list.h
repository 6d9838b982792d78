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

// Start-up: fills the box from the file (in the current directory by default),
// selects item 0; falls back silently to the default address. An entry longer
// than any host name is skipped alone.
void LoadAddresses(QComboBox &box, const QString &path = kAddressFileName);
// "Add": the edit text as a new item, if not empty.
void AddAddress(QComboBox &box);
// "Del": removes the selected item; nothing when no item is selected.
void DeleteAddress(QComboBox &box);
// "Save": every item + CR LF, replacing the file only once it is complete; the
// file keeps its mode, and its owner where the process may give files away. In
// a folder that takes no new file the file is rewritten in place, and put back
// as it was if that fails.
void SaveAddresses(const QComboBox &box, OperatorPrompts &prompts,
                   const QString &path = kAddressFileName);

} // namespace corvanel

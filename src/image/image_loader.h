#pragma once

#include "common/operator_error.h"
#include "engine/line_source.h"

#include <QIODevice>
#include <QString>

#include <variant>

namespace corvanel {

// Reads a HEX file into a fresh table of at most `maxLines` lines, one line
// per entry, without parsing the records. Fails with an OperatorError naming
// the file (missing, directory, unreadable, more than `maxLines` lines, a
// line too long for a datagram).
std::variant<TextLines, OperatorError> readImageFile(const QString &path, int maxLines);

// The same for bytes already open in `file`; `path` names them in errors.
std::variant<TextLines, OperatorError> readImageLines(QIODevice &file, const QString &path,
                                                      int maxLines);

} // namespace corvanel

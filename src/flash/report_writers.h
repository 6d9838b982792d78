#pragma once

#include "flash/flash_result.h"
#include "image/hex_check.h"
#include "image/image_figures.h"

#include <QByteArray>
#include <QList>
#include <QString>

namespace corvanel::flash {

// The summary at the end of a run, one row per host.
QString summaryTable(const QList<HostReport> &reports, int exitCode);
QByteArray summaryJson(const QString &imagePath, int lineCount, const QList<HostReport> &reports,
                       int exitCode);
// A run that ended before any host was contacted (file error, refused image).
QByteArray refusalJson(const QString &imagePath, int exitCode, const QString &error,
                       const QList<image::HexProblem> &problems);

// What --info prints: format, records, address ranges, data bytes, CRC-32 and
// SHA-256 of the data in address order.
QString infoText(const QString &imagePath, const image::ImageFigures &figures);
QByteArray infoJson(const QString &imagePath, const image::ImageFigures &figures);

// Pieces of a host's row, shared with the live progress.
QString linesText(const HostReport &report);
QString timeText(double seconds);
QString detailText(const HostReport &report);

} // namespace corvanel::flash

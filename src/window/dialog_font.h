#pragma once

#include <QFont>
#include <QList>
#include <QString>

namespace corvanel {

// The families tried for the window's fonts, first choice first: the classic
// dialog face where the system has it, then metric-compatible and common
// sans-serif faces, ending with DejaVu Sans, which every Debian desktop has.
QStringList dialogFontFamilies();

// An 8-point sans serif in the first available family of dialogFontFamilies().
QFont baseDialogFont();

// The status bar's font: "MS Sans Serif" 8.25 points, normal weight, with the
// same fall-backs. (The Cyrillic character set of the original face needs no
// setting: every family in the list covers Cyrillic or is substituted.)
QFont statusBarFont();

// One caption and the room its control gives it, in pixels.
struct CaptionRoom {
    QString caption;
    int width = 0;  // the control's width
    int margin = 0; // what the control's frame and padding take from the width
};

// The font narrowed (by horizontal stretch, then by size) until every caption
// fits its room. Fall-back faces are wider than the classic dialog face, and a
// cut-off caption is unreadable.
QFont fitCaptions(QFont font, const QList<CaptionRoom> &rooms);

} // namespace corvanel

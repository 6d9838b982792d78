#pragma once

#include <QPixmap>

namespace corvanel {

// The window's pictures, drawn by the program itself so that they scale with
// the screen and need no image files.

// The window icon: a grey open-ended wrench and a screwdriver with an orange
// handle, side by side; `size` pixels square (24 at 96 dpi).
QPixmap toolsIcon(int size);

// The link indicator: a desktop computer, a monitor standing on a flat system
// unit. Link alive: lit blue screen and a cyan drive lamp; no link: black
// screen and a grey lamp. `size` pixels square (32 at 96 dpi), transparent
// around the computer.
QPixmap computerImage(bool linkAlive, int size);

} // namespace corvanel

#pragma once

#include "engine/run_report.h"

#include <QByteArray>
#include <QString>

#include <cstdio>

namespace corvanel::flash {

// Whether the stream is a terminal.
bool isTerminal(std::FILE *stream);
// Whether the stream is an interactive terminal that understands cursor moves.
bool isInteractiveTerminal(std::FILE *stream);

// How a write to an output went. ReaderGone: the reader has quit (a closed
// pipe, as "| head" leaves it); as the field's tools do, the program then
// stops writing there, says nothing and ends with the exit code it has.
// SIGPIPE is ignored in this process, so that no transfer stops for it.
enum class Written { Whole, ReaderGone, Failed };
// All of `bytes`, flushed. Failed: errno says why.
Written writeOutput(std::FILE *stream, QByteArrayView bytes);

// --color: when result rows are coloured.
enum class ColourChoice { Auto, Always, Never };

// Whether output to a stream is coloured: Always and Never as they say; Auto
// on an interactive terminal only, and not while NO_COLOR holds any text
// (no-color.org: present and not empty).
bool colourWanted(ColourChoice choice, bool interactiveTerminal, const QByteArray &noColor);

// How a result row is shown: green for a board done well ("END", "READY"),
// red for the rest.
enum class Tone { Plain, Good, Bad };
Tone toneOf(const HostReport &report);
// The text between the terminal's colour codes; Plain leaves it as it is.
QString painted(const QString &text, Tone tone);

} // namespace corvanel::flash

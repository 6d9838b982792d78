#pragma once

#include <QByteArray>
#include <QString>

#include <cstdio>

namespace corvanel {

// What a command-line program needs of its console: whether a stream is a
// terminal and how wide, writes that end quietly when the reader has quit,
// and colour where wanted.

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

// A terminal's size; 80 by 24 where it cannot be told.
int terminalColumns(std::FILE *stream);
int terminalRows(std::FILE *stream);

// How a line is shown: green for a good result, red for a bad one.
enum class Tone { Plain, Good, Bad };
// The text between the terminal's colour codes; Plain leaves it as it is.
QString painted(const QString &text, Tone tone);

} // namespace corvanel

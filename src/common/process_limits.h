#pragma once

#include <QtGlobal>

#include <optional>

namespace corvanel {

// A command-line program's process, set up once at its start: output that
// cannot be written (a reader that quit, a file size limit reached) fails
// the write and is dealt with there, never ending the process mid-transfer;
// and the soft limit of open files is raised to the hard one, so that as
// many sockets as the system allows are there for the hosts.
void setUpProcess();

// How many files this process may hold open; empty where there is no limit.
std::optional<quint64> openFileLimit();

} // namespace corvanel

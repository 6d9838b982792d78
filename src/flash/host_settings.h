#pragma once

#include "engine/protocol.h"
#include "engine/transfer_controller.h"

#include <QString>

#include <optional>

namespace corvanel::flash {

// Everything one host's transfer is told.
struct HostSettings {
    QString host;    // as given, for the reports
    QString address; // "A.B.C.D", what the link talks to: a name resolved once, before
                     // anything is sent; empty: `host` itself
    quint16 remotePort = protocol::kDefaultRemotePort;
    // Empty: a random port from 5500 to 6499, as the window picks it (another
    // one is drawn when that port is taken). 0: a port the system chooses.
    std::optional<quint16> localPort;
    StrictLimits limits;
    int attempts = 1;     // whole transfers, each from the inquiry on
    bool install = false; // "BOOTg" after "END"
    bool dryRun = false;  // wait for "VER=" and send nothing else
};

} // namespace corvanel::flash

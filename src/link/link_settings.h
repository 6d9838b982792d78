#pragma once

#include <QString>

namespace corvanel {

// What a connect reads from the window: the address box and the two port
// boxes, as text.
struct LinkSettings {
    QString remoteHost;
    QString remotePort;
    QString localPort;
};

} // namespace corvanel

#include "window/error_box.h"

namespace corvanel {

QString errorBoxText(const OperatorError &error)
{
    using What = OperatorError::What;
    const QString &s = error.subject;
    switch (error.what) {
    case What::ReadImage:
        return QStringLiteral("Cannot load the HEX file \"%1\": %2").arg(s, error.reason);
    case What::SaveAddresses:
        return QStringLiteral("Cannot save the address list to \"%1\": %2").arg(s, error.reason);
    case What::RemotePort:
        return QStringLiteral("Remote port \"%1\" is not a number from 1 to 65535").arg(s);
    case What::LocalPort:
        return QStringLiteral("Local port \"%1\" is not a number from 0 to 65535").arg(s);
    case What::NoHost:
        return QStringLiteral("No remote host given");
    case What::NotIPv4:
        return QStringLiteral("Remote host %1 is not an IPv4 address").arg(s);
    case What::HostNotFound:
        return QStringLiteral("Remote host %1 not found: %2").arg(s, error.reason);
    case What::NotADevice:
        return QStringLiteral("Remote host %1 is not a device address").arg(s);
    case What::ManyHosts:
        return QStringLiteral("Remote host %1 is a broadcast or multicast address, not one device")
            .arg(s);
    case What::Bind:
        return QStringLiteral("Local port %1 cannot be bound: %2").arg(s, error.reason);
    }
    return {};
}

} // namespace corvanel

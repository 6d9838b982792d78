#pragma once

namespace corvanel::platform {

// Deletes every entry of the host's ARP cache. On Windows this starts
// "arp -d *" in a minimized window and does not wait; elsewhere it does nothing.
void flushArpCache();

} // namespace corvanel::platform

#pragma once
// Tells the service manager (systemd, Type=notify) how a headless run is
// doing, through the datagram socket named by $NOTIFY_SOCKET: a path, or an
// abstract socket name written with a leading '@'. Without the variable this
// does nothing, so the same binary runs unchanged from a shell or cron.
#include <string>

namespace kv {

// Sends one state message ("READY=1", "STOPPING=1", "STATUS=..."; several
// separated by '\n'). True when it was sent; false without $NOTIFY_SOCKET or
// when the socket cannot be reached (a service manager that went away must
// not stop the run).
bool NotifyServiceManager(const std::string& state);

} // namespace kv

#pragma once
// CONNECT handshakes of SOCKS 4, SOCKS 4A and SOCKS 5 (RFC 1928, with the user
// name and password authentication of RFC 1929), run on a freshly connected
// proxy socket before the target's own bytes. The replies are read exactly, so
// the first byte read afterwards is the target's.
#include "ftp/FtpSession.h"
#include "ftp/NetSocket.h"

#include <string>

namespace kv::socks {

// Refuses, before any connection is made, values that the protocol cannot
// carry: a SOCKS 4 user ID, a SOCKS 4A or SOCKS 5 host name, a SOCKS 5 user
// name or password longer than 255 bytes (or holding a zero byte where the
// protocol ends a field with one). Throws SocksError naming the setting.
void CheckSettings(const ProxySettings& proxy, const std::string& host);

// Asks the proxy behind s to connect to host:port. SOCKS 4 resolves host
// locally; SOCKS 4A and SOCKS 5 pass the name to the proxy. Failures raise the
// SocksError subclass of the proxy's answer; a SOCKS 5 answer that does not
// arrive raises SocksServerRespondError.
void Handshake(net::NetSocket& s, const ProxySettings& proxy, const std::string& host, int port,
               net::Waiter& w);

} // namespace kv::socks

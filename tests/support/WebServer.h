#pragma once
// A web server on 127.0.0.1 for the upgrade tests: tests/support/upgrade_httpd.py
// (Python's http.server) serving a fresh folder over HTTP, or over HTTPS with
// a certificate for 127.0.0.1 made by openssl for this server alone. The
// script's /drop/ and /auth/ paths give a broken and a guarded transfer.
#include "support/Servers.h"

#include <string>

namespace kvtest {

class WebServer {
public:
    explicit WebServer(bool tls);
    // The served folder: tests put the published files here.
    const std::string& root() const { return root_; }
    int port() const { return port_; }
    // "http://127.0.0.1:PORT" + path (https for a TLS server).
    std::string url(const std::string& path) const;
    // The server's certificate (PEM), which a client must trust; empty without TLS.
    const std::string& certificate() const { return cert_; }
    void write(const std::string& relative, const std::string& content) const;

private:
    TempDir dir_;
    Process process_;
    std::string root_, cert_;
    int port_ = 0;
    bool tls_ = false;
};

} // namespace kvtest

#include "support/WebServer.h"

#include <filesystem>
#include <stdexcept>

#ifndef KORVANE_TEST_SUPPORT_DIR
#error "KORVANE_TEST_SUPPORT_DIR must name tests/support"
#endif

namespace kvtest {

WebServer::WebServer(bool tls) : root_(dir_ / "www"), tls_(tls) {
    std::filesystem::create_directories(root_);
    std::vector<std::string> argv{"/usr/bin/python3",
                                  std::string(KORVANE_TEST_SUPPORT_DIR) + "/upgrade_httpd.py"};
    port_ = FreePort();
    argv.push_back(std::to_string(port_));
    argv.push_back(root_);
    if (tls) {
        cert_ = dir_ / "cert.pem";
        const std::string key = dir_ / "key.pem";
        if (RunProgram({"/usr/bin/openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                        "ec_paramgen_curve:prime256v1", "-nodes", "-days", "2", "-subj",
                        "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1", "-keyout", key,
                        "-out", cert_},
                       dir_ / "openssl.log") != 0)
            throw std::runtime_error("openssl could not make a certificate: " +
                                     ReadFile(dir_ / "openssl.log"));
        argv.push_back(cert_);
        argv.push_back(key);
    }
    process_.start(argv, dir_ / "server.log");
    process_.waitForPort(port_);
}

std::string WebServer::url(const std::string& path) const {
    return std::string(tls_ ? "https" : "http") + "://127.0.0.1:" + std::to_string(port_) + path;
}

void WebServer::write(const std::string& relative, const std::string& content) const {
    const std::string path = root_ + "/" + relative;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    WriteFile(path, content);
}

} // namespace kvtest

#pragma once
// Events that record what an FTP session reports and lets a test act inside
// the idle pump and the work events, and helpers to build sessions.
#include "ftp/FtpSession.h"
#include "support/Servers.h"
#include "support/TestSupport.h"

#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <vector>

namespace kvtest {

struct FtpHost : kv::remote::Events {
    struct WorkEvent {
        char kind; // 'B' begin, 'W' work, 'E' end
        kv::WorkDirection dir;
        int64_t value;
    };
    std::vector<std::string> trace;
    std::vector<std::string> status;
    std::vector<WorkEvent> work;
    int pumps = 0;
    int disconnected = 0;
    std::function<void()> onPump;
    std::function<void(kv::WorkDirection, int64_t)> onWork;

    void Idle() override {
        ++pumps;
        if (onPump)
            onPump();
    }
    void Trace(const std::string& line) override { trace.push_back(line); }
    void Status(const std::string& text) override { status.push_back(text); }
    void Disconnected() override { ++disconnected; }
    void WorkBegin(kv::WorkDirection d, int64_t size) override { work.push_back({'B', d, size}); }
    void Work(kv::WorkDirection d, int64_t total) override {
        work.push_back({'W', d, total});
        if (onWork)
            onWork(d, total);
    }
    void WorkEnd(kv::WorkDirection d) override { work.push_back({'E', d, 0}); }

    // Trace lines without their time stamp ("Sent: NOOP<EOL>").
    std::vector<std::string> traceTexts() const {
        std::vector<std::string> out;
        for (const auto& l : trace) {
            size_t p = l.find(": ");
            out.push_back(p == std::string::npos ? l : l.substr(p + 2));
        }
        return out;
    }
};

inline std::shared_ptr<kv::FtpSession> MakeSession(const FtpServer& server, FtpHost& host,
                                                   bool passive = true) {
    auto s = std::make_shared<kv::FtpSession>();
    s->Host = server.host();
    s->Port = server.port();
    s->User = server.user();
    s->Password = server.password();
    s->Passive = passive;
    s->NetTimeOut = 20;
    s->SetEvents(&host);
    s->SetTraceEnabled(true);
    return s;
}

// The message of the E that f throws, "(no error)" when it throws none.
template <class E, class F> std::string ErrorOf(F&& f) {
    try {
        f();
    } catch (const E& e) {
        return e.what();
    }
    return "(no error)";
}

// The code (when E has one) and message of the E that f throws; a failure of
// the test when it throws none.
struct Caught {
    int code = -1;
    std::string what = "(no error)";
};
template <class E, class F> Caught CaughtError(F&& f) {
    try {
        f();
    } catch (const E& e) {
        if constexpr (requires { e.Code(); })
            return {e.Code(), e.what()};
        else
            return {-1, e.what()};
    }
    ADD_FAILURE() << "no error was thrown";
    return {};
}

// Bytes that differ from position to position, so a shifted or truncated copy
// never compares equal.
inline std::string Pattern(size_t size, unsigned seed = 1) {
    std::string s(size, '\0');
    uint32_t x = seed * 2654435761u + 12345u;
    for (size_t i = 0; i < size; ++i) {
        x = x * 1103515245u + 12345u;
        s[i] = static_cast<char>(x >> 24);
    }
    return s;
}

// Cases on one shared scripted server: its scenario and wire log start empty
// and the scenario is cleared again afterwards.
template <PyFtpdServer& (*Shared)()> class ScriptedServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        server = &Shared();
        server->clearScenario();
        server->clearWireLog();
    }
    void TearDown() override { server->clearScenario(); }
    PyFtpdServer* server = nullptr;
    FtpHost host;
    TempDir local;
};

} // namespace kvtest

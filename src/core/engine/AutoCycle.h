#pragma once
// One automatic cycle: disconnect a leftover session, connect, receive unless
// Options/AllowReceive is "0", send unless Options/AllowSend is "0", disconnect.
namespace kv {

struct AppState;
struct CycleSettings;

struct CycleOutcome {
    bool Connected = false; // the connect of this cycle logged in
};

CycleOutcome RunAutoCycle(AppState& state, const CycleSettings& settings);

} // namespace kv

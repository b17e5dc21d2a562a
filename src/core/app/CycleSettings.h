#pragma once
// What a transfer cycle (a connect, a receive, a send, an automatic cycle)
// takes from the settings: read from one snapshot of the settings file at
// the cycle's start and checked there, so the engine never reads the file
// itself and a file that cannot be read stops the cycle before anything is
// transferred. The connection record is the one the program last loaded
// (ReadSettings); the folders, hooks and switches are the file's now.
#include "app/Settings.h"
#include "config/SettingsSnapshot.h"

#include <string>
#include <vector>

namespace kv {

struct AppState;

// A remote folder and its local folder: a receive pair (remote "out" into an
// inbox) or a send pair (an outbox into remote "in").
struct FolderPair {
    std::string remote;
    std::string local;
    int group = 0; // 0 for the main pair, 1 to 9 for an extra group
    // The key's name for this pair's group ("Options/RemoteOutPath3").
    std::string KeyPath(const SettingKey& key) const {
        return (group == 0 ? key : key.Group(group)).Path();
    }
};

// A program run before each send or after each receive.
struct HookSettings {
    std::string program;
    std::string parameters;
    bool run = false;
    bool exclusive = false;
};

struct CycleSettings {
    explicit CycleSettings(SettingsSnapshot read) : file(std::move(read)) {}

    Settings record;
    bool allowReceive = true;
    bool allowSend = true;
    bool cnc102 = false;
    // The main pair and the extra groups 1 to 9 with both sides set, in order.
    std::vector<FolderPair> receivePairs;
    std::vector<FolderPair> sendPairs;
    std::string localExPath;
    std::string remoteExPath;
    std::string backupPath;
    std::string errPath;
    HookSettings runBefore;
    HookSettings runAfter;
    std::string timeInterval; // the hooks' time limit in automatic mode
    int netTimeOutSeconds = 300;
    // An outbox file changed more recently than this waits for a later cycle.
    int outboxSettleSeconds = 3;
    // Which mailbox a journal entry belongs to: "FTP://user@host:port" (or
    // SFTP), so what one mailbox began is never finished against another.
    std::string mailbox;
    // The file as read, for the client information file, which reports some
    // keys exactly as stored.
    SettingsSnapshot file;
};

// Reads the settings file once for a cycle. Throws IniError when the file is
// missing or cannot be read.
CycleSettings ReadCycleSettings(const AppState& state);
// The same from a snapshot already taken.
CycleSettings CycleSettingsFrom(const AppState& state, SettingsSnapshot file);

} // namespace kv

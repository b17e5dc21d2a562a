#pragma once
// Classification, header stamping and hooks as the cycles call them.
#include <string>

namespace kv {

struct AppState;
class IniFile;

enum class Direction { Incoming, Outgoing };

struct Classification {
    bool ok = true;
    std::string sender;
    std::string receiver;
    std::string type;
};

Classification ClassifyFile(const std::string& path, const std::string& name, Direction direction);

void AddCnc102Header(AppState& state, const std::string& path);
bool SetFlatHeaderParties(const std::string& path, const std::string& fileSender);
bool UnwrapEdifact(const std::string& path);

enum class HookKind { BeforeSend, AfterReceive };
void RunHook(AppState& state, IniFile& ini, HookKind kind);

} // namespace kv

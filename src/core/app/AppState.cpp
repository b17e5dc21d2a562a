#include "app/AppState.h"

#include "util/Fs.h"

namespace kv {

std::string AppState::PathInProgramDir(const std::string& name) const {
    return JoinPath(ProgramDir, name);
}

std::string AppState::LanguagePackPath() const {
    return JoinPath(PathInProgramDir("Language"), LanguageFile);
}

} // namespace kv

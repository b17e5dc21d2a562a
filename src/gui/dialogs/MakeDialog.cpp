// The dialogs of the Option menu and of Tools / Clean Folder and LOG File,
// made for the main window on its settings file and current language pack.
#include "FormAdvSet.h"
#include "FormBasSet.h"
#include "FormCleanFolder.h"
#include "FormExpSet.h"
#include "FormKorvane.h"
#include "program/CompanionService.h"

namespace kvgui {

std::unique_ptr<QDialog> MakeDialog(DialogKind kind, QWidget* owner) {
    auto* window = qobject_cast<FormKorvane*>(owner);
    if (!window)
        return nullptr;
    kv::AppState& state = window->State();
    const std::string pack = state.LanguagePackPath();
    switch (kind) {
    case DialogKind::Basic:
        return std::make_unique<FormBasSet>(state.IniPath, pack, *window, owner);
    case DialogKind::Advance:
        return std::make_unique<FormAdvSet>(state.IniPath, pack, *window, owner,
                                            std::make_unique<kv::CompanionService>(
                                                state.ProgramDir, kv::KorvanedBesideThisProgram()));
    case DialogKind::Expert:
        return std::make_unique<FormExpSet>(state.IniPath, pack, *window, owner);
    case DialogKind::Clean:
        return std::make_unique<FormCleanFolder>(state.IniPath, pack, state.ProgramDir,
                                                 state.LogStep, *window, owner);
    }
    return nullptr;
}

} // namespace kvgui

// FormKorvane: its upgrade component, the choice of the information file's
// URL and the start-up check, and how a check is started.
#include "FormKorvane.h"

#include "UpgradeCheck.h"
#include "config/SettingsSnapshot.h"
#include "logging/Logs.h"
#include "program/Startup.h"

namespace kvgui {

UpgradeCheck& FormKorvane::AutoUpgrader() {
    if (!auAutoUpgrader1_) {
        auAutoUpgrader1_ = new UpgradeCheck(this);
        auAutoUpgrader1_->setObjectName("auAutoUpgrader1");
        auAutoUpgrader1_->locations.home = state_.ProgramDir;
        // What a check says outside its boxes goes to the log view and file.
        connect(auAutoUpgrader1_, &UpgradeCheck::LogLine, this,
                [this](const QString& text, bool error) {
                    kv::LogBracket logs(state_);
                    if (error)
                        kv::ReportError(state_, text.toStdString());
                    else
                        kv::ReportInfo(state_, text.toStdString());
                });
        // The updater waits for this program to end: close through the close
        // sequence once the handler that handed over has returned.
        connect(auAutoUpgrader1_, &UpgradeCheck::HandedOver, this, &FormKorvane::close,
                Qt::QueuedConnection);
    }
    return *auAutoUpgrader1_;
}

void FormKorvane::SetUpUpgradeCheck(bool afterUpgrade) {
    Guarded([this, afterUpgrade] {
        const kv::StartupUpgrade start =
            kv::ReadStartupUpgrade(kv::SettingsSnapshot::Read(state_.IniPath), state_.AutoMode);
        UpgradeCheck& upgrader = AutoUpgrader();
        upgrader.settings.infoFileUrl = start.infoFileUrl;
        upgrader.settings.versionNumber = kv::kProgramVersion;
        if (!start.checkNow || afterUpgrade)
            return;
        {
            kv::LogBracket logs(state_);
            kv::WriteSysLogOnly(state_, kv::InfoLine(state_, "System Auto Upgrade Check!"));
        }
        PrepareUpgradeCheck(kv::kStartupCheckMessages);
        StartUpgradeCheck();
    });
}

void FormKorvane::PrepareUpgradeCheck(kv::MessageSet messages) {
    UpgradeCheck& upgrader = AutoUpgrader();
    upgrader.wizardEnabled = state_.MessageBoxesAllowed;
    upgrader.settings.showMessages = state_.MessageBoxesAllowed ? messages : 0;
}

void FormKorvane::StartUpgradeCheck() {
    UpgradeCheck& upgrader = AutoUpgrader();
    upgrader.wizardLanguage =
        state_.LanguageFile == "kvchs.ini" ? WizardLanguage::wlAuto : WizardLanguage::wlEnglish;
    upgrader.CheckUpdate();
}

} // namespace kvgui

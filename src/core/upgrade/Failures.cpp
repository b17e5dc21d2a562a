// The failure table of the upgrade check.
#include "upgrade/Failures.h"

#include "util/Text.h"

namespace kv {

namespace {

const FailureRule kRules[] = {
    {UpgradeFailure::NoInfoFile, mNoInfoFile,
     "File which contains upgrade information was not found on developer's site.", false,
     FailureEffect::EndCheck},
    {UpgradeFailure::HostUnreachable, mHostUnreachable,
     "Host %s unreachable.\n\nPlease check your Internet connection and\ntry to upgrade this "
     "software again later.",
     false, FailureEffect::EndKeepFiles},
    {UpgradeFailure::LostFile, mLostFile,
     "File %s not found or inaccessible.\n\nTry to skip this file and continue upgrade?", true,
     FailureEffect::AskSkipOrAbort},
    {UpgradeFailure::ConnLost, mConnLost,
     "Connection with remote server lost.\n\nPlease restore connection and try to\nupgrade this "
     "software again later.",
     false, FailureEffect::EndKeepFiles},
    {UpgradeFailure::PasswordCancelled, 0, "", false, FailureEffect::AbortDeleteFiles},
    {UpgradeFailure::ChecksumMismatch, 0,
     "The downloaded file %s is damaged: its SHA-256 checksum differs from the published "
     "one.\n\nThe upgrade was stopped and nothing was changed. Please try to\nupgrade this "
     "software again later.",
     false, FailureEffect::AbortDeleteFiles},
    {UpgradeFailure::TooLarge, 0,
     "The file %s is larger than the upgrade allows and was refused.\n\nThe upgrade was stopped "
     "and nothing was changed.",
     false, FailureEffect::AbortDeleteFiles},
    {UpgradeFailure::FolderNotWritable, 0,
     "This program cannot upgrade itself: its folder %s\ncannot be written by this "
     "user.\n\nPlease upgrade it the way it was installed (for example with\nthe system's "
     "package manager, or ask your administrator).",
     false, FailureEffect::EndCheck},
    {UpgradeFailure::PackageManaged, 0,
     "This program was installed by the system's package manager (%s),\nso it never upgrades "
     "itself, whoever runs it.\n\nPlease upgrade it with the package manager (for example\n"
     "apt upgrade korvane), or ask your administrator.",
     false, FailureEffect::EndCheck},
};

} // namespace

const FailureRule& RuleFor(UpgradeFailure failure) {
    for (const auto& r : kRules) {
        if (r.failure == failure)
            return r;
    }
    return kRules[0]; // unreachable: every enumerator has a row
}

bool MayShow(const FailureRule& rule, MessageSet allowed) {
    return rule.kind == 0 ? rule.text[0] != '\0' : (allowed & rule.kind) != 0;
}

std::string FailureText(UpgradeFailure failure, const std::string& arg) {
    std::string text = RuleFor(failure).text;
    if (auto at = text.find("%s"); at != std::string::npos)
        text.replace(at, 2, arg);
    return text;
}

std::string LostFileCaption(int httpStatus) {
    return "Error #" + IntToStr(httpStatus);
}

FailureEffect EffectWithoutYes(UpgradeFailure failure) {
    FailureEffect e = RuleFor(failure).effect;
    return e == FailureEffect::AskSkipOrAbort ? FailureEffect::AbortDeleteFiles : e;
}

} // namespace kv

#pragma once
// The failures of the upgrade check as data: which message kind allows the
// box, its text, and what happens afterwards. A caller shows the box only when
// MayShow() says so and then acts on the effect.
#include "upgrade/Decision.h"

#include <string>

namespace kv {

enum class UpgradeFailure {
    NoInfoFile,        // the information file: server error status
    HostUnreachable,   // the server cannot be reached
    LostFile,          // a file: server error status
    ConnLost,          // the connection broke during a transfer
    PasswordCancelled, // the user cancelled the name and password dialog
    ChecksumMismatch,  // a finished file's SHA-256 differs from the published one
    TooLarge,          // the information file or a download exceeds its limit
    FolderNotWritable, // the program folder cannot be written by this user
    PackageManaged,    // the program belongs to the system's package manager
};

enum class FailureEffect {
    EndCheck,         // the check ends, nothing was downloaded
    EndKeepFiles,     // the check or upgrade ends; working files stay
    AskSkipOrAbort,   // Yes: skip this file and go on; No: abort
    AbortDeleteFiles, // the upgrade ends and every working file is deleted
};

struct FailureRule {
    UpgradeFailure failure;
    MessageSet kind;  // 0: always shown (our own failures, which must not pass silently)
    const char* text; // %s: host, file name or folder as the failure names it
    bool question;    // a Yes / No question rather than a message box
    FailureEffect effect;
};

const FailureRule& RuleFor(UpgradeFailure failure);
bool MayShow(const FailureRule& rule, MessageSet allowed);
// The rule's text with arg in place of %s.
std::string FailureText(UpgradeFailure failure, const std::string& arg);
// Caption of the lost-file question: "Error #" + HTTP status.
std::string LostFileCaption(int httpStatus);
// A failure whose effect is a question answered No (or not allowed to be
// asked) aborts: the effect to apply then.
FailureEffect EffectWithoutYes(UpgradeFailure failure);

} // namespace kv

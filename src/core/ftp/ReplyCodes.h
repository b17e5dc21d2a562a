#pragma once
// The FTP reply codes the session acts on, by name (RFC 959, 2228, 2428, 3659),
// and which replies each command it sends can have.
#include <initializer_list>

namespace kv::ftp::reply {

inline constexpr int RestartMarker = 110;
inline constexpr int DataAlreadyOpen = 125;
inline constexpr int AboutToOpenData = 150;
inline constexpr int CommandOkay = 200;
inline constexpr int FileStatus = 213;
inline constexpr int SystemType = 215;
inline constexpr int ServiceReady = 220;
inline constexpr int DataOpenNoTransfer = 225;
inline constexpr int ClosingData = 226;
inline constexpr int EnteringPassive = 227;
inline constexpr int EnteringExtendedPassive = 229;
inline constexpr int LoggedIn = 230;
inline constexpr int SecurityExchangeDone = 234;
inline constexpr int FileActionDone = 250;
inline constexpr int PathName = 257;
inline constexpr int NeedPassword = 331;
inline constexpr int PendingFurtherInformation = 350;
inline constexpr int TransferAborted = 426;
inline constexpr int FileBusy = 450;
inline constexpr int SyntaxError = 500;
inline constexpr int NotImplemented = 502;
inline constexpr int FileUnavailable = 550;

// A refusal (4xx, 5xx): any command can get one.
inline bool IsRefusal(int code) {
    return code >= 400 && code < 600;
}
inline bool IsPreliminary(int code) {
    return code >= 100 && code < 200;
}

// The final positive replies each command can have.
inline constexpr std::initializer_list<int> ToSize = {FileStatus};
inline constexpr std::initializer_list<int> ToDirectoryChange = {FileActionDone, CommandOkay};
inline constexpr std::initializer_list<int> ToTransferEnd = {ClosingData, FileActionDone,
                                                             DataOpenNoTransfer};
inline constexpr std::initializer_list<int> ToAbort = {ClosingData, DataOpenNoTransfer};
inline constexpr std::initializer_list<int> ToUser = {LoggedIn, NeedPassword};
inline constexpr std::initializer_list<int> ToSyst = {SystemType, CommandOkay};

} // namespace kv::ftp::reply

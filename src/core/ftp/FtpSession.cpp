// FtpSession's public operations, each run through Impl::Run. The commands
// without a data connection (folders, rename, delete, size, noop) are whole
// here; the others call the files named after their operation.
#include "ftp/FtpSession.h"

#include "ftp/FtpReply.h"
#include "ftp/FtpSessionImpl.h"
#include "ftp/ReplyCodes.h"
#include "util/Text.h"

#include <cstring>
#include <exception>

namespace kv {

namespace rc = ftp::reply;

void CheckArgument(const std::string& value, const std::string& what, bool showValue) {
    if (value.find_first_of(std::string("\r\n\0", 3)) == std::string::npos)
        return;
    std::string msg = "The " + what;
    if (showValue)
        msg += " \"" + FirstCrLfToBlank(value) + "\"";
    throw FtpArgumentError(msg + " holds a line break or a zero byte, which cannot be sent to " +
                           "the FTP server; rename it or correct the settings.");
}

std::string ErrnoMessage(int err) {
    return std::strerror(err);
}

FtpSession::FtpSession() : impl_(std::make_unique<Impl>(*this)) {}

FtpSession::~FtpSession() {
    // Owners release the session after Disconnect; close quietly, the events'
    // receiver may be gone already.
    impl_->data.reset();
    impl_->listener.reset();
    impl_->control.Close();
}

void FtpSession::SetEvents(remote::Events* events) {
    impl_->events = events;
}
void FtpSession::SetTraceEnabled(bool on) {
    impl_->trace = on;
}

void FtpSession::Connect(bool login) {
    impl_->Run([&] { impl_->Connect(login); });
}

void FtpSession::SetTransferType(TransferType type) {
    Impl& i = *impl_;
    if (i.inOperation)
        return; // changing the type during a transfer is ignored
    if (!i.ControlUsable()) {
        Type = type;
        return;
    }
    if (type == Type)
        return;
    i.Run([&] {
        i.SendCommand(type == TransferType::Binary ? "type I" : "type A", {rc::CommandOkay});
        i.ReadReply({rc::CommandOkay});
        Type = type;
    });
}

void FtpSession::ChangeDir(const std::string& folder) {
    impl_->Run([&] {
        CheckArgument(folder, "remote folder");
        impl_->SendCommand("CWD " + folder, {rc::FileActionDone});
        impl_->ReadReply({rc::FileActionDone});
    });
}

void FtpSession::ChangeDirUp() {
    impl_->Run([&] {
        impl_->SendCommand("CDUP", rc::ToDirectoryChange);
        impl_->ReadReply({rc::FileActionDone});
    });
}

std::string FtpSession::RetrieveCurrentDir() {
    return impl_->Run([&] {
        impl_->SendCommand("PWD", {rc::PathName});
        impl_->ReadReply({rc::PathName});
        return ftp::ParsePwdReply(impl_->lastLines.back());
    });
}

void FtpSession::List(std::vector<std::string>& dest, const std::string& specifier, bool details) {
    impl_->Run([&] { impl_->List(dest, specifier, details); });
}

RemoteListing FtpSession::ListFolder(const std::string& folder, const std::string& pattern,
                                     bool onlyMatching) {
    return impl_->Run([&] { return impl_->ListFolder(folder, pattern, onlyMatching); });
}

GetResult FtpSession::Get(const std::string& remoteName, const std::string& localName,
                          bool overwrite, int64_t* remoteSize, std::string* remoteTime,
                          int64_t expectedSize) {
    return impl_->Run([&] {
        return impl_->Get(remoteName, localName, overwrite, remoteSize, remoteTime, expectedSize);
    });
}

void FtpSession::Put(const std::string& localName, const std::string& remoteName, bool append) {
    impl_->Run([&] { impl_->Put(localName, remoteName, append); });
}

std::vector<FtpSession::SizeAnswer>
FtpSession::PutIfAbsent(const std::string& localName, const std::string& remoteName,
                        const std::vector<std::string>& absentNames) {
    return impl_->Run([&] {
        Impl::SizesFirst first;
        first.names = absentNames; // checked as the SIZE commands are made
        first.onlyIfAbsent = true;
        impl_->Put(localName, remoteName, false, &first);
        return first.answers;
    });
}

void FtpSession::Rename(const std::string& oldName, const std::string& newName) {
    std::vector<std::exception_ptr> results;
    Rename({{oldName, newName}}, results);
    if (!results.empty() && results.front())
        std::rethrow_exception(results.front());
}

void FtpSession::Rename(const std::vector<std::pair<std::string, std::string>>& pairs,
                        std::vector<std::exception_ptr>& results) {
    results.clear();
    if (pairs.empty())
        return;
    impl_->Run([&] {
        std::vector<Impl::InFlight> commands;
        for (const auto& [from, to] : pairs) {
            CheckArgument(from, "remote file name");
            CheckArgument(to, "new remote file name");
            commands.push_back(Impl::Expect("RNFR " + from, {rc::PendingFurtherInformation}));
            commands.push_back(Impl::Expect("RNTO " + to, {rc::FileActionDone}));
        }
        impl_->Send(std::move(commands));
        for (size_t i = 0; i < pairs.size(); ++i) {
            const int from = impl_->Await();
            const std::vector<std::string> fromLines = impl_->lastLines;
            const int to = impl_->Await();
            // A refused RNFR makes the server refuse the RNTO too: the RNFR's
            // reply says why, and is the last reply.
            if (from != rc::PendingFurtherInformation) {
                impl_->lastCode = from;
                impl_->lastLines = fromLines;
                results.push_back(
                    std::make_exception_ptr(ProtocolReplyError(from, fromLines.back())));
            } else if (to != rc::FileActionDone) {
                results.push_back(
                    std::make_exception_ptr(ProtocolReplyError(to, impl_->lastLines.back())));
            } else {
                results.push_back(nullptr);
            }
        }
    });
}

void FtpSession::Delete(const std::string& remoteName) {
    std::vector<std::exception_ptr> results;
    Delete(std::vector<std::string>{remoteName}, results);
    if (!results.empty() && results.front())
        std::rethrow_exception(results.front());
}

void FtpSession::Delete(const std::vector<std::string>& remoteNames,
                        std::vector<std::exception_ptr>& results) {
    results.clear();
    if (remoteNames.empty())
        return;
    impl_->Run([&] {
        std::vector<Impl::InFlight> commands;
        for (const std::string& name : remoteNames) {
            CheckArgument(name, "remote file name");
            commands.push_back(Impl::Expect("DELE " + name, {rc::FileActionDone}));
        }
        impl_->Send(std::move(commands));
        for (size_t i = 0; i < remoteNames.size(); ++i) {
            try {
                impl_->ReadReply({rc::FileActionDone});
                results.push_back(nullptr);
            } catch (const ProtocolReplyError&) {
                results.push_back(std::current_exception());
            }
        }
    });
}

std::vector<FtpSession::Stamp> FtpSession::Stamps(const std::vector<std::string>& remoteNames) {
    if (remoteNames.empty())
        return {};
    return impl_->Run([&] {
        Impl& i = *impl_;
        const bool ascii = Type == TransferType::Ascii;
        std::vector<Impl::InFlight> commands = Impl::SizeCommands(remoteNames, true);
        if (ascii) {
            // SIZE counts the bytes as stored only in binary type.
            commands.insert(commands.begin(), Impl::Expect("type I", {rc::CommandOkay}));
            commands.push_back(Impl::Expect("type A", {rc::CommandOkay}));
        }
        i.Send(std::move(commands));
        const int toBinary = ascii ? i.Await() : 0;
        std::vector<Stamp> stamps;
        for (size_t n = 0; n < remoteNames.size(); ++n) {
            Stamp st;
            const SizeAnswer a = i.ReadSizeAnswer();
            st.size = a.size;
            st.sizeCode = a.code;
            st.sizeRefusal = a.refusal;
            st.time = i.ReadTimeAnswer();
            stamps.push_back(std::move(st));
        }
        if (ascii && i.Await() != rc::CommandOkay && toBinary == rc::CommandOkay)
            Type = TransferType::Binary;
        return stamps;
    });
}

int64_t FtpSession::Size(const std::string& remoteName) {
    return impl_->Run([&]() -> int64_t {
        impl_->Send(Impl::SizeCommands({remoteName}));
        return impl_->ReadSizeAnswer().size;
    });
}

std::vector<FtpSession::SizeAnswer> FtpSession::Sizes(const std::vector<std::string>& remoteNames) {
    return impl_->Run([&] {
        impl_->Send(Impl::SizeCommands(remoteNames));
        std::vector<SizeAnswer> answers;
        for (size_t i = 0; i < remoteNames.size(); ++i)
            answers.push_back(impl_->ReadSizeAnswer());
        return answers;
    });
}

void FtpSession::Noop() {
    if (impl_->inOperation)
        return;
    impl_->Run([&] {
        impl_->SendCommand("NOOP", {rc::CommandOkay});
        impl_->ReadReply({rc::CommandOkay});
    });
}

void FtpSession::SendAhead(const std::vector<std::string>& commands) {
    std::vector<Impl::InFlight> ahead;
    for (const std::string& c : commands) {
        CheckArgument(c, "command");
        const std::string verb = UpperCase(c.substr(0, c.find(' ')));
        if (verb == "SIZE" || verb == "MDTM")
            ahead.push_back(Impl::Expect(c, rc::ToSize));
        else if (verb == "PASV" && c.size() == 4)
            ahead.push_back(Impl::Expect(c, {rc::EnteringPassive}));
        else if (verb == "NOOP" && c.size() == 4)
            ahead.push_back(Impl::Expect(c, {rc::CommandOkay}));
        else
            throw FtpArgumentError("Only queries may be sent ahead, not \"" + c + "\".");
    }
    if (ahead.empty())
        return;
    impl_->Run([&] { impl_->SendAhead(std::move(ahead)); });
}

void FtpSession::Abort() {
    auto keep = weak_from_this().lock();
    impl_->Abort();
}

void FtpSession::Disconnect() {
    auto keep = weak_from_this().lock();
    impl_->CloseControl();
}

bool FtpSession::Connected() const {
    return impl_->ControlUsable();
}

bool FtpSession::Busy() const {
    return impl_->inOperation;
}

int64_t FtpSession::TransferCommandsSent() const {
    return impl_->transferCommands;
}

int FtpSession::LastReplyCode() const {
    return impl_->lastCode;
}

} // namespace kv

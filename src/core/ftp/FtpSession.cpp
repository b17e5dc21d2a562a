// FtpSession's public operations, each run through Impl::Run. The commands
// without a data connection (folders, rename, delete, size, noop) are whole
// here; the others call the files named after their operation.
#include "ftp/FtpSession.h"

#include "ftp/FtpReply.h"
#include "ftp/FtpSessionImpl.h"
#include "util/Text.h"

#include <cstring>
#include <exception>

namespace kv {

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
    // Owners release the session after Disconnect; close quietly, the host
    // may be gone already.
    impl_->data.reset();
    impl_->listener.reset();
    impl_->control.Close();
}

void FtpSession::SetHost(kv::Host* host) {
    impl_->host = host;
}
void FtpSession::SetTraceEnabled(bool on) {
    impl_->trace = on;
}

void FtpSession::Connect(bool login) {
    impl_->Run([&] { impl_->Connect(login); });
}

void FtpSession::SetTransferType(TransferType type) {
    Impl& i = *impl_;
    if (i.depth > 0)
        return; // changing the type during a transfer is ignored
    if (!i.ControlUsable()) {
        Type = type;
        return;
    }
    if (type == Type)
        return;
    i.Run([&] {
        i.SendCommand(type == TransferType::Binary ? "type I" : "type A");
        i.ReadReply({200});
        Type = type;
    });
}

void FtpSession::ChangeDir(const std::string& folder) {
    impl_->Run([&] {
        CheckArgument(folder, "remote folder");
        impl_->SendCommand("CWD " + folder);
        impl_->ReadReply({250});
    });
}

void FtpSession::ChangeDirUp() {
    impl_->Run([&] {
        impl_->SendCommand("CDUP");
        impl_->ReadReply({250});
    });
}

std::string FtpSession::RetrieveCurrentDir() {
    return impl_->Run([&] {
        impl_->SendCommand("PWD");
        impl_->ReadReply({257});
        return ftp::ParsePwdReply(impl_->lastLines.back());
    });
}

void FtpSession::List(std::vector<std::string>& dest, const std::string& specifier, bool details) {
    impl_->Run([&] { impl_->List(dest, specifier, details); });
}

GetResult FtpSession::Get(const std::string& remoteName, const std::string& localName,
                          bool overwrite, int64_t* remoteSize, std::string* remoteTime) {
    return impl_->Run(
        [&] { return impl_->Get(remoteName, localName, overwrite, remoteSize, remoteTime); });
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

void FtpSession::Rename(const std::string& oldName, const std::string& newName,
                        const std::vector<std::string>& nextAbsentNames) {
    impl_->Run([&] {
        CheckArgument(oldName, "remote file name");
        CheckArgument(newName, "new remote file name");
        std::vector<std::string> commands{"RNFR " + oldName, "RNTO " + newName};
        const bool ahead = !nextAbsentNames.empty() && impl_->PassiveWithPasv();
        if (ahead) {
            for (std::string& size : Impl::SizeCommands(nextAbsentNames))
                commands.push_back(std::move(size));
            commands.push_back("PASV");
        }
        impl_->SendCommands(commands);
        if (ahead) {
            impl_->askedAhead = nextAbsentNames;
            impl_->askedAheadOwed = true;
        }
        const int from = impl_->ReadReply({});
        const std::string fromLine = impl_->lastLines.back();
        const int to = impl_->ReadReply({});
        if (from != 350) {
            impl_->lastCode = from;
            impl_->lastLines = {fromLine};
            throw ProtocolReplyError(from, fromLine);
        }
        if (to != 250)
            throw ProtocolReplyError(to, impl_->lastLines.back());
    });
}

void FtpSession::Delete(const std::string& remoteName) {
    impl_->Run([&] {
        CheckArgument(remoteName, "remote file name");
        impl_->SendCommand("DELE " + remoteName);
        impl_->ReadReply({250});
    });
}

void FtpSession::Delete(const std::vector<std::string>& remoteNames,
                        std::vector<std::exception_ptr>& results) {
    results.clear();
    if (remoteNames.empty())
        return;
    impl_->Run([&] {
        std::vector<std::string> commands;
        for (const std::string& name : remoteNames) {
            CheckArgument(name, "remote file name");
            commands.push_back("DELE " + name);
        }
        impl_->SendCommands(commands);
        for (size_t i = 0; i < commands.size(); ++i) {
            try {
                impl_->ReadReply({250});
                results.push_back(nullptr);
            } catch (const ProtocolReplyError&) {
                results.push_back(std::current_exception());
            }
        }
    });
}

void FtpSession::Rename(const std::vector<std::pair<std::string, std::string>>& pairs,
                        std::vector<std::exception_ptr>& results) {
    results.clear();
    if (pairs.empty())
        return;
    impl_->Run([&] {
        std::vector<std::string> commands;
        for (const auto& [from, to] : pairs) {
            CheckArgument(from, "remote file name");
            CheckArgument(to, "new remote file name");
            commands.push_back("RNFR " + from);
            commands.push_back("RNTO " + to);
        }
        impl_->SendCommands(commands);
        for (size_t i = 0; i < pairs.size(); ++i) {
            const int from = impl_->ReadReply({});
            const std::string fromLine = impl_->lastLines.back();
            const int to = impl_->ReadReply({});
            // A refused RNFR makes the server refuse the RNTO too: the RNFR's
            // reply says why.
            if (from != 350)
                results.push_back(std::make_exception_ptr(ProtocolReplyError(from, fromLine)));
            else if (to != 250)
                results.push_back(
                    std::make_exception_ptr(ProtocolReplyError(to, impl_->lastLines.back())));
            else
                results.push_back(nullptr);
        }
    });
}

std::vector<FtpSession::Stamp> FtpSession::Stamps(const std::vector<std::string>& remoteNames) {
    if (remoteNames.empty())
        return {};
    return impl_->Run([&] {
        Impl& i = *impl_;
        const bool ascii = Type == TransferType::Ascii;
        std::vector<std::string> commands = Impl::SizeCommands(remoteNames, true);
        if (ascii) {
            // SIZE counts the bytes as stored only in binary type.
            commands.insert(commands.begin(), "type I");
            commands.push_back("type A");
        }
        i.SendCommands(commands);
        // Every reply is read whatever it says, so the session stays in step.
        const int toBinary = ascii ? i.ReadReply({}) : 0;
        std::vector<Stamp> stamps;
        for (size_t n = 0; n < remoteNames.size(); ++n) {
            Stamp st;
            const SizeAnswer a = i.ReadSizeAnswer();
            st.size = a.size;
            st.sizeCode = a.code;
            st.time = i.ReadTimeAnswer();
            stamps.push_back(std::move(st));
        }
        if (ascii && i.ReadReply({}) != 200 && toBinary == 200)
            Type = TransferType::Binary;
        return stamps;
    });
}

int64_t FtpSession::Size(const std::string& remoteName) {
    return impl_->Run([&]() -> int64_t {
        impl_->SendCommands(Impl::SizeCommands({remoteName}));
        return impl_->ReadSizeAnswer().size;
    });
}

std::vector<FtpSession::SizeAnswer> FtpSession::Sizes(const std::vector<std::string>& remoteNames) {
    return impl_->Run([&] {
        impl_->SendCommands(Impl::SizeCommands(remoteNames));
        std::vector<SizeAnswer> answers;
        for (size_t i = 0; i < remoteNames.size(); ++i)
            answers.push_back(impl_->ReadSizeAnswer());
        return answers;
    });
}

void FtpSession::Noop() {
    if (impl_->depth > 0)
        return;
    impl_->Run([&] {
        impl_->SendCommand("NOOP");
        impl_->ReadReply({200});
    });
}

void FtpSession::Abort() {
    std::shared_ptr<FtpSession> keep = weak_from_this().lock();
    impl_->Abort();
}

void FtpSession::Disconnect() {
    std::shared_ptr<FtpSession> keep = weak_from_this().lock();
    impl_->CloseControl();
}

bool FtpSession::Connected() const {
    return impl_->ControlUsable();
}

int64_t FtpSession::TransferCommandsSent() const {
    return impl_->transferCommands;
}

bool FtpSession::Busy() const {
    return impl_->depth > 0;
}

int FtpSession::LastReplyCode() const {
    return impl_->lastCode;
}

const std::vector<std::string>& FtpSession::LastReplyLines() const {
    return impl_->lastLines;
}

} // namespace kv

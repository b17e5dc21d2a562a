#pragma once
// One HTTP GET of the upgrade check, into memory (the information file) or
// into a working file (a download), refused past a size limit. Its end is
// told in the terms of the upgrade's failure table. Qt Network runs the
// transfer without blocking the window; certificates are verified as Qt
// does by default and a failed verification is never ignored.
#include <QByteArray>
#include <QObject>
#include <QString>
#include <QUrl>
#include <cstdint>

class QFile;
class QNetworkAccessManager;
class QNetworkReply;

namespace kvgui {

enum class TransferOutcome {
    Done,            // the whole body arrived (2xx)
    HttpError,       // the server answered with an error status
    HostUnreachable, // no connection could be made
    ConnLost,        // the connection broke during the transfer
    Insecure,        // the server's certificate was not accepted, or an insecure redirect
    AuthCancelled,   // the server wants a user name and password that were not given
    TooLarge,        // past the size limit
    WriteFailed,     // the working file could not be written
    Cancelled,       // Cancel() was called
};

struct TransferResult {
    TransferOutcome outcome = TransferOutcome::Done;
    int httpStatus = 0;
    QString detail; // Qt's text of a network or file error
};

class UpgradeTransfer : public QObject {
    Q_OBJECT

public:
    // Starts at once. target: an open file the body goes to, or null to keep
    // it in memory (Body()). No limit past maxBytes.
    UpgradeTransfer(QNetworkAccessManager& manager, const QUrl& url, int64_t maxBytes,
                    QFile* target, QObject* parent);
    ~UpgradeTransfer() override;

    void Cancel();
    const QByteArray& Body() const { return body_; }

    // A transfer that has not received anything for this long counts as broken.
    static constexpr int kStallLimitMs = 60000;

signals:
    // Bytes of the body so far and the announced total (-1 when not announced).
    void Progress(qint64 received, qint64 total);
    void Finished(const kvgui::TransferResult& result);

private:
    void CheckAnnouncedSize();
    void TakeData();
    void End();
    void Stop(TransferOutcome why, const QString& detail = {});
    bool SuccessStatus() const;

    QNetworkReply* reply_ = nullptr;
    QFile* target_ = nullptr;
    QByteArray body_;
    int64_t maxBytes_ = 0;
    int64_t received_ = 0;
    bool stopped_ = false;
    TransferResult stopResult_;
};

} // namespace kvgui

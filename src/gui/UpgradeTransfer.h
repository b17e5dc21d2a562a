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
    NotWeb,          // the URL, or a redirect's target, is not an HTTP or HTTPS address
                     // with a server (detail: that address)
    AuthCancelled,   // the server wants a user name and password that were not given
    TooLarge,        // past the size limit
    TooSlow,         // past the deadline, or too few bytes in a window of time
    WriteFailed,     // the working file could not be written
    Cancelled,       // Cancel() was called
};

struct TransferResult {
    TransferOutcome outcome = TransferOutcome::Done;
    int httpStatus = 0;
    QString detail; // Qt's text of a network or file error
};

// What a transfer may take. A server that sends a byte now and then passes
// any stall limit: the deadline and the rate windows end it.
struct TransferLimits {
    int64_t maxBytes = 0;       // no body past this
    int deadlineMs = 0;         // the whole transfer; 0: none
    int rateWindowMs = 60000;   // every window of this length must bring
    int64_t minWindowBytes = 0; // at least this many bytes; 0: no such rule
};

class UpgradeTransfer : public QObject {
    Q_OBJECT

public:
    // Starts at once. target: an open file the body goes to, or null to keep
    // it in memory (Body()).
    UpgradeTransfer(QNetworkAccessManager& manager, const QUrl& url, const TransferLimits& limits,
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
    void CheckRate();
    void TakeData();
    void End();
    void Stop(TransferOutcome why, const QString& detail = {});
    bool SuccessStatus() const;

    QNetworkReply* reply_ = nullptr;
    QFile* target_ = nullptr;
    QByteArray body_;
    TransferLimits limits_;
    int64_t received_ = 0;
    int64_t receivedAtWindow_ = 0;
    bool stopped_ = false;
    TransferResult stopResult_;
};

} // namespace kvgui

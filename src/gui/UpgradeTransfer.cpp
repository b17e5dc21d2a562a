// One HTTP GET of the upgrade check and how it ended.
#include "UpgradeTransfer.h"

#include "app/AppState.h"

#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>

namespace kvgui {

namespace {

const QByteArray kUserAgent = QByteArray("Korvane/") + kv::kProgramVersion + " (upgrade check)";

bool IsWebAddress(const QUrl& url) {
    const QString scheme = url.scheme().toLower();
    return (scheme == "http" || scheme == "https") && !url.host().isEmpty();
}

} // namespace

UpgradeTransfer::UpgradeTransfer(QNetworkAccessManager& manager, const QUrl& url,
                                 const TransferLimits& limits, QFile* target, QObject* parent)
    : QObject(parent), target_(target), limits_(limits) {
    // Only the web: a "file:" or other URL in a published list reads nothing.
    if (!IsWebAddress(url)) {
        QTimer::singleShot(0, this, [this, url] {
            if (stopped_)
                emit Finished(stopResult_);
            else
                emit Finished({TransferOutcome::NotWeb, 0, url.toString()});
        });
        return;
    }
    QNetworkRequest request(url);
    request.setHeader(QNetworkRequest::UserAgentHeader, kUserAgent);
    // Redirects are followed, but never from HTTPS to plain HTTP.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::NoLessSafeRedirectPolicy);
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute,
                         QNetworkRequest::AlwaysNetwork);
    request.setTransferTimeout(kStallLimitMs);
    reply_ = manager.get(request);
    connect(reply_, &QNetworkReply::metaDataChanged, this, &UpgradeTransfer::CheckAnnouncedSize);
    connect(reply_, &QNetworkReply::readyRead, this, &UpgradeTransfer::TakeData);
    connect(reply_, &QNetworkReply::finished, this, &UpgradeTransfer::End);
    if (limits_.deadlineMs > 0)
        QTimer::singleShot(limits_.deadlineMs, this, [this] { Stop(TransferOutcome::TooSlow); });
    if (limits_.minWindowBytes > 0) {
        auto* window = new QTimer(this);
        connect(window, &QTimer::timeout, this, &UpgradeTransfer::CheckRate);
        window->start(limits_.rateWindowMs);
    }
}

void UpgradeTransfer::CheckRate() {
    if (received_ - receivedAtWindow_ < limits_.minWindowBytes)
        Stop(TransferOutcome::TooSlow);
    receivedAtWindow_ = received_;
}

UpgradeTransfer::~UpgradeTransfer() {
    if (reply_) {
        reply_->disconnect(this);
        reply_->abort();
        reply_->deleteLater();
    }
}

void UpgradeTransfer::Cancel() {
    if (!reply_) {
        // Not started (a URL refused above): it ends as cancelled.
        stopped_ = true;
        stopResult_.outcome = TransferOutcome::Cancelled;
        return;
    }
    Stop(TransferOutcome::Cancelled);
}

bool UpgradeTransfer::SuccessStatus() const {
    const int status = reply_->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    return status >= 200 && status < 300;
}

void UpgradeTransfer::CheckAnnouncedSize() {
    const QVariant length = reply_->header(QNetworkRequest::ContentLengthHeader);
    if (SuccessStatus() && length.isValid() && length.toLongLong() > limits_.maxBytes)
        Stop(TransferOutcome::TooLarge);
}

void UpgradeTransfer::TakeData() {
    if (stopped_)
        return;
    const QByteArray chunk = reply_->readAll();
    if (!SuccessStatus())
        return; // an error page: only its status counts
    received_ += chunk.size();
    if (received_ > limits_.maxBytes) {
        Stop(TransferOutcome::TooLarge);
        return;
    }
    if (!target_) {
        body_ += chunk;
    } else if (target_->write(chunk) != chunk.size()) {
        Stop(TransferOutcome::WriteFailed, target_->errorString());
        return;
    }
    // Told for every piece: Qt's own progress signal skips pieces that come
    // soon after one another, so a transfer that stalls would show stale figures.
    const QVariant length = reply_->header(QNetworkRequest::ContentLengthHeader);
    emit Progress(received_, length.isValid() ? length.toLongLong() : -1);
}

void UpgradeTransfer::Stop(TransferOutcome why, const QString& detail) {
    if (stopped_ || !reply_)
        return;
    stopped_ = true;
    stopResult_.outcome = why;
    stopResult_.detail = detail;
    reply_->abort(); // finished follows at once
}

namespace {

bool HeadersArrived(QNetworkReply* reply) {
    return reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).isValid();
}

// A redirect to an address that is not of the web: Qt ends the reply with an
// error of its own, which would read as a broken connection.
QString RefusedRedirect(QNetworkReply* reply, int httpStatus) {
    if (!IsWebAddress(reply->url())) // followed already, to where nothing can be read
        return reply->url().toString();
    if (httpStatus < 300 || httpStatus >= 400 || !reply->hasRawHeader("Location"))
        return {};
    const QUrl target =
        reply->url().resolved(QUrl::fromEncoded(reply->rawHeader("Location").trimmed()));
    return IsWebAddress(target) ? QString() : target.toString();
}

TransferResult Classify(QNetworkReply* reply) {
    TransferResult r;
    r.httpStatus = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    r.detail = reply->errorString();
    if (const QString target = RefusedRedirect(reply, r.httpStatus); !target.isEmpty())
        return {TransferOutcome::NotWeb, r.httpStatus, target};
    switch (reply->error()) {
    case QNetworkReply::SslHandshakeFailedError:
    case QNetworkReply::InsecureRedirectError:
        r.outcome = TransferOutcome::Insecure;
        break;
    case QNetworkReply::AuthenticationRequiredError:
    case QNetworkReply::ProxyAuthenticationRequiredError:
        r.outcome = TransferOutcome::AuthCancelled;
        break;
    case QNetworkReply::RemoteHostClosedError:
        r.outcome = TransferOutcome::ConnLost;
        break;
    default:
        if (r.httpStatus >= 400) {
            r.outcome = TransferOutcome::HttpError;
            break;
        }
        // Refused, not found, timed out: lost when the server had already
        // answered, unreachable otherwise.
        r.outcome =
            HeadersArrived(reply) ? TransferOutcome::ConnLost : TransferOutcome::HostUnreachable;
        break;
    }
    return r;
}

} // namespace

void UpgradeTransfer::End() {
    TransferResult result;
    if (stopped_) {
        result = stopResult_;
    } else if (reply_->error() != QNetworkReply::NoError) {
        result = Classify(reply_);
    } else {
        TakeData();
        result.httpStatus = reply_->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        const QVariant length = reply_->header(QNetworkRequest::ContentLengthHeader);
        if (stopped_)
            result = stopResult_;
        else if (!SuccessStatus())
            result.outcome = TransferOutcome::HttpError;
        else if (length.isValid() && length.toLongLong() != received_)
            result.outcome = TransferOutcome::ConnLost; // the body ended short
        else if (target_ && !target_->flush())
            result = {TransferOutcome::WriteFailed, result.httpStatus, target_->errorString()};
    }
    reply_->disconnect(this);
    reply_->deleteLater();
    reply_ = nullptr;
    emit Finished(result);
}

} // namespace kvgui

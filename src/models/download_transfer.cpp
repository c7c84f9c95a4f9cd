#include "models/download_transfer.h"

#include "core/records.h"

#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QRegularExpression>
#include <QUuid>

#include <algorithm>

namespace {

// What the network layer may hold for us before we write it out, and the
// size of one write.
constexpr qint64 kReadBufferSize = 1024 * 1024;
constexpr size_t kWriteChunk = 512 * 1024;
// A server that sends nothing for this long has let the connection die.
constexpr int kSilenceLimitMs = 60 * 1000;
constexpr int kFirstRetryDelayMs = 250;
constexpr int kLongestRetryDelayMs = 4000;

bool isSuccess(int status) { return status >= 200 && status <= 299; }

// Only these are answered by a server; anything else (file:, data:) Qt
// would answer itself from this machine.
bool isHttp(const QUrl &url)
{
    return url.scheme() == QLatin1String("http") || url.scheme() == QLatin1String("https");
}

constexpr int kMaxRedirects = 10;

// An answer that sends us elsewhere (its body is a page about that).
bool isRedirect(QNetworkReply *reply)
{
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    return status >= 300 && status <= 399 && status != 304
           && reply->attribute(QNetworkRequest::RedirectionTargetAttribute).isValid();
}

// "bytes <first>-<last>/<total or *>": first and total (-1 for "*").
bool parseContentRange(const QByteArray &header, qint64 *first, qint64 *total)
{
    static const QRegularExpression pattern(QStringLiteral(R"(^\s*bytes\s+(\d+)-(\d+)/(\d+|\*)\s*$)"));
    const auto match = pattern.match(QString::fromLatin1(header));
    if (!match.hasMatch())
        return false;
    bool ok = false;
    *first = match.captured(1).toLongLong(&ok);
    if (!ok)
        return false;
    *total = match.captured(3) == QLatin1String("*") ? -1 : match.captured(3).toLongLong(&ok);
    return ok;
}

} // namespace

QByteArray DownloadResumeInfo::toBlob() const
{
    QJsonObject o;
    o.insert(QStringLiteral("url"), url.toString(QUrl::FullyEncoded));
    o.insert(QStringLiteral("etag"), etag);
    o.insert(QStringLiteral("lastModified"), lastModified);
    o.insert(QStringLiteral("totalBytes"), double(totalBytes));
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

std::optional<DownloadResumeInfo> DownloadResumeInfo::fromBlob(const QByteArray &blob)
{
    const QJsonDocument doc = QJsonDocument::fromJson(blob);
    if (!doc.isObject())
        return std::nullopt;
    const QJsonObject o = doc.object();
    DownloadResumeInfo info;
    info.url = QUrl(o.value(QStringLiteral("url")).toString(), QUrl::StrictMode);
    if (!info.url.isValid() || info.url.isRelative())
        return std::nullopt;
    info.etag = o.value(QStringLiteral("etag")).toString();
    info.lastModified = o.value(QStringLiteral("lastModified")).toString();
    // a size that does not fit in 64 bits (a damaged file) is not known
    const double total = o.value(QStringLiteral("totalBytes")).toDouble(-1);
    info.totalBytes = total >= 0 && total < 9223372036854775808.0 ? qint64(total) : -1;
    return info;
}

QString DownloadResumeInfo::ifRangeValidator() const
{
    // If-Range compares strongly: a weak ETag would never match.
    if (!etag.isEmpty() && !etag.startsWith(QLatin1String("W/")))
        return etag;
    return lastModified;
}

DownloadTransfer::DownloadTransfer(QNetworkAccessManager *network, QString partialPath, QString stagingDirectory,
                                   DownloadResumeInfo info, bool fromPartialFile, Events events, QObject *parent)
    : QObject(parent), m_network(network), m_partialPath(std::move(partialPath)),
      m_stagingDirectory(std::move(stagingDirectory)), m_info(std::move(info)), m_fromPartialFile(fromPartialFile),
      m_events(std::move(events)), m_buffer(kWriteChunk)
{
    // Data read back from a blob can continue the file on disk.
    m_resumable = fromPartialFile;
    m_retryTimer.setSingleShot(true);
    connect(&m_retryTimer, &QTimer::timeout, this, [this] { attempt(true); });
}

DownloadTransfer::~DownloadTransfer() { stop(); }

void DownloadTransfer::start() { attempt(m_fromPartialFile); }

QByteArray DownloadTransfer::stop()
{
    if (!m_stopped) {
        m_stopped = true;
        m_retryTimer.stop();
        if (QNetworkReply *reply = std::exchange(m_reply, nullptr)) {
            disconnect(reply, nullptr, this, nullptr);
            reply->abort();
            reply->deleteLater();
        }
        closeFile();
    }
    return resumeBlob();
}

void DownloadTransfer::attempt(bool fromPartialFile)
{
    m_answerHandled = false;
    m_restartFromZero = false;
    m_status = 0;
    m_receivedThisAttempt = 0;
    m_requestedFrom = 0;

    // Without a validator the bytes on disk cannot be matched to the
    // server's file, so they are never continued.
    const QString validator = m_info.ifRangeValidator();
    if (fromPartialFile && !validator.isEmpty()) {
        const QFileInfo partial(m_partialPath);
        if (partial.isFile())
            m_requestedFrom = partial.size();
    }

    m_requestUrl = m_info.url;
    m_redirects = 0;
    sendRequest();
}

void DownloadTransfer::sendRequest()
{
    m_answerHandled = false;
    m_status = 0;
    QNetworkRequest request(m_requestUrl);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
    request.setAttribute(QNetworkRequest::CacheSaveControlAttribute, false);
    // Byte offsets must count the file's own bytes, never a compressed form.
    request.setRawHeader("Accept-Encoding", "identity");
    if (m_requestedFrom > 0) {
        request.setRawHeader("Range", "bytes=" + QByteArray::number(m_requestedFrom) + '-');
        request.setRawHeader("If-Range", m_info.ifRangeValidator().toUtf8());
    }
    request.setTransferTimeout(kSilenceLimitMs);

    QNetworkReply *reply = m_network->get(request);
    m_reply = reply;
    reply->setReadBufferSize(kReadBufferSize);
    connect(reply, &QNetworkReply::readyRead, this, [this, reply] { drain(reply); });
    connect(reply, &QNetworkReply::finished, this, [this, reply] { onFinished(reply); });
}

bool DownloadTransfer::handleAnswer(QNetworkReply *reply)
{
    m_answerHandled = true;
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    m_status = status.isValid() ? status.toInt() : 0;
    if (m_status == 0) {
        // Not a server's answer: its bytes are never taken for the file.
        m_fatalError = tr("The link did not lead to an HTTP server.");
        if (!reply->isFinished())
            reply->abort();
        return false;
    }

    // Turns the answer down; onFinished then asks again without a range.
    auto restart = [&](bool abortBody) {
        closeFile();
        m_restartFromZero = true;
        if (abortBody && !reply->isFinished())
            reply->abort();
        return false;
    };
    if (m_status == 416 && m_requestedFrom > 0)
        return restart(false); // the bytes on disk do not fit the file: fetch it whole
    if (!isSuccess(m_status))
        return true; // reported when the answer ends; its body is not kept

    qint64 from = 0;
    qint64 total = -1;
    if (m_status == 206) {
        qint64 first = -1;
        if (m_requestedFrom == 0 || !parseContentRange(reply->rawHeader("Content-Range"), &first, &total)
            || first != m_requestedFrom)
            return restart(true);
        from = first;
    } else {
        const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
        total = length.isValid() ? length.toLongLong() : -1;
    }

    closeFile();
    m_file.setFileName(m_partialPath);
    QIODevice::OpenMode mode = QIODevice::WriteOnly | QIODevice::Unbuffered;
    mode |= from > 0 ? QIODevice::Append : QIODevice::Truncate;
    if (!m_file.open(mode)) {
        m_fatalError = m_file.errorString();
        if (!reply->isFinished())
            reply->abort();
        return false;
    }
    if (from > 0 && m_file.size() != from)
        return restart(true); // the partial file changed under us

    m_written = from;
    m_expected = total;
    // A full answer may be a different file: its validators replace the old
    // ones. A 206 continues the same file.
    const QByteArray etag = reply->rawHeader("ETag");
    const QByteArray lastModified = reply->rawHeader("Last-Modified");
    if (m_status != 206 || !etag.isEmpty())
        m_info.etag = QString::fromLatin1(etag);
    if (m_status != 206 || !lastModified.isEmpty())
        m_info.lastModified = QString::fromLatin1(lastModified);
    m_info.totalBytes = total;
    m_resumable = true;

    const QByteArray blob = m_info.toBlob();
    if (blob != m_lastBlob) {
        m_lastBlob = blob;
        if (m_events.responded)
            m_events.responded(blob);
    }
    return true;
}

void DownloadTransfer::drain(QNetworkReply *reply)
{
    if (reply != m_reply || m_stopped || m_restartFromZero || !m_fatalError.isEmpty())
        return;
    if (isRedirect(reply)) {
        reply->skip(reply->bytesAvailable());
        return;
    }
    if (!m_answerHandled && !handleAnswer(reply))
        return;
    if (!isSuccess(m_status)) {
        reply->skip(reply->bytesAvailable());
        return;
    }
    qint64 received = 0;
    for (;;) {
        const qint64 n = reply->read(m_buffer.data(), qint64(m_buffer.size()));
        if (n <= 0)
            break;
        if (m_file.write(m_buffer.data(), n) != n) {
            m_fatalError = m_file.errorString();
            if (!reply->isFinished())
                reply->abort();
            return;
        }
        received += n;
    }
    if (received == 0)
        return;
    m_written += received;
    m_receivedThisAttempt += received;
    if (m_events.progressed)
        m_events.progressed(m_written, m_expected);
}

void DownloadTransfer::onFinished(QNetworkReply *reply)
{
    reply->deleteLater();
    if (reply != m_reply || m_stopped)
        return;
    const bool answered = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).isValid()
        || reply->error() == QNetworkReply::NoError;
    if (answered)
        drain(reply); // what arrived with the end of the answer
    m_reply = nullptr;
    closeFile();

    if (answered && isRedirect(reply)) {
        const QUrl target = reply->url().resolved(reply->attribute(QNetworkRequest::RedirectionTargetAttribute).toUrl());
        const bool downgrade = reply->url().scheme() == QLatin1String("https") && target.scheme() != QLatin1String("https");
        if (target.isValid() && isHttp(target) && !downgrade && m_redirects < kMaxRedirects) {
            ++m_redirects;
            m_requestUrl = target;
            sendRequest();
            return;
        }
        // Too many hops, off HTTP, or to a less safe place: reported as the
        // answer it is.
        m_status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    }

    if (!m_fatalError.isEmpty()) {
        fail(m_fatalError);
        return;
    }
    if (m_restartFromZero) {
        // A refused range is asked for whole at once; a part that was never
        // asked for would come again, so it counts as an attempt that
        // brought nothing.
        if (m_requestedFrom > 0)
            attempt(false);
        else
            retryOrFail(tr("The server sent part of the file when the whole file was asked for."));
        return;
    }
    if (!answered) {
        retryOrFail(reply->errorString());
        return;
    }
    if (!isSuccess(m_status)) {
        m_stopped = true;
        m_events.finished(m_status, QString(), QString());
        return;
    }
    if (reply->error() != QNetworkReply::NoError) {
        retryOrFail(reply->errorString()); // the body broke off
        return;
    }
    if (m_expected >= 0 && m_written != m_expected) {
        retryOrFail(tr("The connection closed before the whole file arrived."));
        return;
    }

    m_stopped = true;
    const QString staged = m_stagingDirectory + QStringLiteral("/quorvane-")
        + canonicalUuid(QUuid::createUuid()) + QStringLiteral(".gguf");
    QFile partial(m_partialPath);
    if (!partial.rename(staged)) {
        m_events.finished(m_status, QString(), partial.errorString());
        return;
    }
    m_events.finished(m_status, staged, QString());
}

void DownloadTransfer::retryOrFail(const QString &error)
{
    if (m_receivedThisAttempt > 0)
        m_receivedAny = true;
    m_attemptsWithoutProgress = m_receivedThisAttempt > 0 ? 0 : m_attemptsWithoutProgress + 1;
    // Only a transfer that was under way is continued: a server that cannot
    // be reached at all is reported at once.
    if (!m_receivedAny || m_attemptsWithoutProgress >= kMaxAttemptsWithoutProgress) {
        fail(error);
        return;
    }
    m_retryTimer.start(std::min(kFirstRetryDelayMs << m_attemptsWithoutProgress, kLongestRetryDelayMs));
}

void DownloadTransfer::fail(const QString &error)
{
    m_stopped = true;
    m_retryTimer.stop();
    closeFile();
    const QByteArray blob = resumeBlob();
    if (blob.isEmpty())
        QFile::remove(m_partialPath);
    m_events.failed(error, blob);
}

void DownloadTransfer::closeFile()
{
    if (m_file.isOpen())
        m_file.close();
}

QByteArray DownloadTransfer::resumeBlob() const { return m_resumable ? m_info.toBlob() : QByteArray(); }

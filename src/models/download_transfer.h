#pragma once

#include <QByteArray>
#include <QFile>
#include <QObject>
#include <QString>
#include <QTimer>
#include <QUrl>

#include <functional>
#include <optional>
#include <vector>

class QNetworkAccessManager;
class QNetworkReply;

// What is needed to continue a download later: the address it was started
// with and the validators of the answer that produced the bytes on disk.
// Stored as the "resume blob", a small JSON object.
struct DownloadResumeInfo {
    QUrl url;
    QString etag;
    QString lastModified;
    qint64 totalBytes = -1; // -1: unknown

    QByteArray toBlob() const;
    static std::optional<DownloadResumeInfo> fromBlob(const QByteArray &blob);

    // The value for If-Range: a strong ETag, else Last-Modified; empty when
    // the bytes on disk cannot be checked against the server's file.
    QString ifRangeValidator() const;
};

// One model file coming over HTTP into a partial file, on the thread of the
// network manager it is given (every member is called there). The body is
// written to partialPath as it arrives. Starting "from the partial file"
// asks for the rest with Range and If-Range: a 206 answer appends, a 200
// answer starts the file again from zero, a 416 answer restarts without a
// range. A connection that breaks after bytes arrived is continued the same
// way after a short pause, until several attempts in a row bring nothing; a
// 206 answer to a request without a range counts as such an attempt.
class DownloadTransfer : public QObject {
    Q_OBJECT
public:
    struct Events {
        // An answer with a body arrived; blob holds the current resume data.
        std::function<void(const QByteArray &blob)> responded;
        // Bytes on disk so far and the size of the whole file (-1 unknown).
        std::function<void(qint64 written, qint64 expected)> progressed;
        // The server answered in full. For a 2xx answer the partial file has
        // been renamed to stagedPath, or moveError says why that failed; any
        // other status comes with no file. An answer without an HTTP status
        // (a redirect to file: or data:) is never taken: a redirect is
        // followed to http and https only, and never from https to http.
        std::function<void(int status, const QString &stagedPath, const QString &moveError)> finished;
        // No more attempts: why, and the resume blob (empty when there is
        // nothing to continue; the partial file is then removed).
        std::function<void(const QString &error, const QByteArray &blob)> failed;
    };

    static constexpr int kMaxAttemptsWithoutProgress = 5;

    DownloadTransfer(QNetworkAccessManager *network, QString partialPath, QString stagingDirectory,
                     DownloadResumeInfo info, bool fromPartialFile, Events events, QObject *parent);
    ~DownloadTransfer() override;

    void start();
    // Ends the transfer for good without further events; the partial file
    // stays. Returns the resume blob, empty when there is nothing to continue.
    QByteArray stop();

private:
    void attempt(bool fromPartialFile);
    // Sends the attempt's request to m_requestUrl.
    void sendRequest();
    bool handleAnswer(QNetworkReply *reply); // false: the answer was turned down and the reply aborted
    void drain(QNetworkReply *reply);
    void onFinished(QNetworkReply *reply);
    void retryOrFail(const QString &error);
    void fail(const QString &error);
    void closeFile();
    QByteArray resumeBlob() const;

    QNetworkAccessManager *m_network;
    QString m_partialPath;
    QString m_stagingDirectory;
    DownloadResumeInfo m_info;
    bool m_fromPartialFile;
    Events m_events;

    QNetworkReply *m_reply = nullptr;
    QFile m_file;
    std::vector<char> m_buffer;
    QTimer m_retryTimer;
    bool m_stopped = false;

    // per attempt
    qint64 m_requestedFrom = 0; // Range start sent, 0 for none
    // Redirects are followed here, one reply per answer, so that the body of
    // a redirect never mixes with the file's bytes.
    QUrl m_requestUrl;
    int m_redirects = 0;
    bool m_answerHandled = false;
    bool m_restartFromZero = false;
    int m_status = 0;
    qint64 m_receivedThisAttempt = 0;

    qint64 m_written = 0;  // bytes in the partial file
    qint64 m_expected = -1;
    bool m_resumable = false;  // an answer was taken, or the transfer began from stored resume data
    bool m_receivedAny = false;
    int m_attemptsWithoutProgress = 0;
    QString m_fatalError; // ends the transfer without another attempt
    QByteArray m_lastBlob;
};

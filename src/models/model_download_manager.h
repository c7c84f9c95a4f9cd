#pragma once

#include "core/records.h"

#include <QObject>
#include <QString>
#include <QUrl>
#include <QUuid>

#include <functional>
#include <memory>
#include <optional>

// Moves model files from the network onto the disk, one Qt network transfer
// per model, and continues interrupted ones from the bytes already on disk.
//
// While a download runs its bytes go to <resume folder>/<ID>.partial, and
// <ID>.resume holds what is needed to continue it (the URL and the
// validators of the response). Both stay when the application quits or is
// killed; resumeIncompleteDownloads continues them at the next launch with a
// Range request. A finished file is moved to <models folder>/<ID>.gguf.
//
// Bookkeeping lives on a serial state queue; callbacks to callers always run
// later on the main thread.
class ModelDownloadManager : public QObject {
    Q_OBJECT
public:
    // (progress 0..1, downloaded bytes, total bytes, speed in MB/s of 2^20 bytes)
    using DownloadProgressHandler = std::function<void(double, qint64, qint64, double)>;
    // Either the final file path or the error.
    struct DownloadResult {
        std::optional<QString> filePath;
        std::optional<QuorvaneError> error;
        bool succeeded() const { return filePath.has_value(); }
    };
    using DownloadCompletionHandler = std::function<void(const DownloadResult &)>;
    using ProgressFallback = std::function<void(const QUuid &, double, qint64, qint64, double)>;
    using CompletionFallback = std::function<void(const QUuid &, const DownloadResult &)>;
    // Monotonic seconds, for the progress throttle; tests put in their own.
    using Clock = std::function<double()>;

    static constexpr const char *kStateQueueLabel = "com.quorvane.modeldownload.state";
    static constexpr const char *kFileQueueLabel = "com.quorvane.modeldownload.file";

    // The one manager of the application, created on first use.
    static ModelDownloadManager &shared();

    // Tests build managers of their own. The folders default to
    // <data>/ResumeData and <data>/Models.
    explicit ModelDownloadManager(QObject *parent = nullptr, Clock clock = {});
    ~ModelDownloadManager() override;

    // Starts downloading url for the model. Returns at once.
    void downloadModel(const QUrl &url, const QUuid &modelId, DownloadProgressHandler progress,
                       DownloadCompletionHandler completion);
    // Stops the model's download; keeps what is needed to continue it later
    // unless discardResumeData. No completion callback follows a cancel.
    void cancelDownload(const QUuid &modelId, bool discardResumeData);
    // Continues, through the fallbacks, the downloads of models that are not
    // downloaded, have progress above 0 and have resume data.
    void resumeIncompleteDownloads(const QList<AIModel> &models);

    // Receive the reports of downloads started without callbacks of their
    // own (those resumed at launch). Set once, before resuming.
    void setProgressFallback(ProgressFallback fallback);
    void setCompletionFallback(CompletionFallback fallback);

    // The application quits: every running download is stopped with its
    // resume data written, so that the next launch continues it.
    void applicationWillTerminate();

    QString resumeDataDirectory() const;
    QString modelsDirectory() const;

    // Waits until everything queued on the state and file queues so far has
    // run (tests, and the quit path).
    void drainQueues();

    struct Private;

private:
    std::shared_ptr<Private> d;
};

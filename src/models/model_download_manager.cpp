#include "models/model_download_manager.h"

#include "core/file_manager_utility.h"
#include "models/download_session.h"
#include "models/download_transfer.h"
#include "platform/logging.h"
#include "platform/main_thread.h"
#include "platform/serial_queue.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QSaveFile>
#include <QSet>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <unordered_map>

namespace {

constexpr double kReportInterval = 0.2;  // seconds between progress reports passed on
constexpr double kNewestSampleWeight = 0.3; // of the smoothed speed
constexpr double kEarlierWeight = 0.7;
constexpr double kBytesPerMegabyte = 1048576.0;

double monotonicSeconds()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// One download as the state queue knows it. The transfer lives on the
// session thread and is touched only there; the byte counts are handed over
// through the atomics, so that a burst of network chunks queues one report.
struct DownloadTask {
    quint64 identity = 0;
    QUuid modelId;
    DownloadTransfer *transfer = nullptr;
    std::atomic<qint64> written{0};
    std::atomic<qint64> expected{-1};
    std::atomic<bool> reportQueued{false};
};
using TaskPtr = std::shared_ptr<DownloadTask>;

// Takes the transfer out of the task and stops it; session thread only.
QByteArray stopTransfer(DownloadTask &task)
{
    DownloadTransfer *t = std::exchange(task.transfer, nullptr);
    if (!t)
        return {};
    const QByteArray blob = t->stop();
    t->deleteLater();
    return blob;
}

using Result = ModelDownloadManager::DownloadResult;

Result success(const QString &path) { return Result{path, std::nullopt}; }
Result failure(const QuorvaneError &error) { return Result{std::nullopt, error}; }

} // namespace

struct ModelDownloadManager::Private {
    ModelDownloadManager *q = nullptr;
    std::weak_ptr<Private> self;
    Clock clock;
    std::unique_ptr<SerialQueue> stateQueue;
    std::unique_ptr<SerialQueue> fileQueue;

    // State queue only.
    QHash<QUuid, TaskPtr> downloadTasks;
    std::unordered_map<quint64, QUuid> taskToModelId;
    QHash<QUuid, DownloadProgressHandler> progressHandlers;
    QHash<QUuid, DownloadCompletionHandler> completionHandlers;
    QHash<QUuid, double> lastUpdateTimes;
    QHash<QUuid, qint64> lastDownloadedBytes;
    QHash<QUuid, double> downloadSpeeds;
    QSet<QUuid> awaitingFirstReport; // started, no report passed on yet
    QHash<QUuid, QByteArray> resumeData;
    ProgressFallback progressFallback;
    CompletionFallback completionFallback;
    quint64 nextIdentity = 1;

    std::unique_ptr<DownloadSession> session = std::make_unique<DownloadSession>();
    QString resumeDataDirectory;
    QString modelsDirectory;

    QString fileFor(const QUuid &id, const char *extension) const
    {
        return resumeDataDirectory + QLatin1Char('/') + canonicalUuid(id) + QLatin1String(extension);
    }
    QString resumeFile(const QUuid &id) const { return fileFor(id, ".resume"); }
    QString partialFile(const QUuid &id) const { return fileFor(id, ".partial"); }
    QString finishedFile(const QUuid &id) const
    {
        return modelsDirectory + QLatin1Char('/') + canonicalUuid(id) + QStringLiteral(".gguf");
    }

    void toMain(std::function<void()> fn) { mainthread::post(q, std::move(fn)); }

    DownloadProgressHandler progressHandlerFor(const QUuid &id) const
    {
        if (const auto it = progressHandlers.constFind(id); it != progressHandlers.constEnd() && *it)
            return *it;
        if (!progressFallback)
            return {};
        return [fallback = progressFallback, id](double p, qint64 w, qint64 e, double s) { fallback(id, p, w, e, s); };
    }

    DownloadCompletionHandler completionHandlerFor(const QUuid &id) const
    {
        if (const auto it = completionHandlers.constFind(id); it != completionHandlers.constEnd() && *it)
            return *it;
        if (!completionFallback)
            return {};
        return [fallback = completionFallback, id](const Result &r) { fallback(id, r); };
    }

    std::optional<QUuid> modelIdFor(quint64 identity) const
    {
        const auto it = taskToModelId.find(identity);
        return it == taskToModelId.end() ? std::nullopt : std::optional<QUuid>(it->second);
    }

    static bool isStrayFinishedFile(const QFileInfo &entry)
    {
        const QString name = entry.fileName();
        const QLatin1String prefix("quorvane-"), suffix(".gguf");
        return name.startsWith(prefix) && name.endsWith(suffix)
               && parseUuid(name.mid(prefix.size(), name.size() - prefix.size() - suffix.size())).has_value();
    }

    void loadResumeData()
    {
        const QFileInfoList entries = QDir(resumeDataDirectory).entryInfoList(QDir::Files | QDir::Hidden, QDir::Name);
        for (const QFileInfo &entry : entries) {
            if (isStrayFinishedFile(entry)) {
                // A finished file that a crash left between staging and the
                // move into Models; its record downloads again, so the bytes
                // would only take up space.
                if (QFile::remove(entry.absoluteFilePath()))
                    qCInfo(lcDownload, "Removed a finished download left behind: %s", qPrintable(entry.fileName()));
                continue;
            }
            if (entry.suffix() != QLatin1String("resume"))
                continue;
            const std::optional<QUuid> id = parseUuid(entry.completeBaseName());
            if (!id)
                continue;
            QFile file(entry.absoluteFilePath());
            if (!file.open(QIODevice::ReadOnly))
                continue;
            resumeData.insert(*id, file.readAll());
            qCInfo(lcDownload, "Loaded resume data for model %s", qPrintable(canonicalUuid(*id)));
        }
    }

    void saveResumeData(const QByteArray &blob, const QUuid &id)
    {
        QSaveFile file(resumeFile(id));
        if (file.open(QIODevice::WriteOnly) && file.write(blob) == blob.size())
            file.commit();
        qCInfo(lcDownload, "Saved resume data for model %s", qPrintable(canonicalUuid(id)));
    }

    // Any thread.
    void removeResumeFiles(const QUuid &id) const
    {
        QFile::remove(resumeFile(id));
        QFile::remove(partialFile(id));
    }

    void deleteResumeData(const QUuid &id)
    {
        removeResumeFiles(id);
        resumeData.remove(id);
    }

    void clearTracking(const QUuid &id)
    {
        if (const TaskPtr task = downloadTasks.take(id))
            taskToModelId.erase(task->identity);
        progressHandlers.remove(id);
        completionHandlers.remove(id);
        lastUpdateTimes.remove(id);
        lastDownloadedBytes.remove(id);
        downloadSpeeds.remove(id);
        awaitingFirstReport.remove(id);
    }

    // Registers a task for the model and starts its transfer.
    void startTask(const QUuid &id, const DownloadResumeInfo &info, bool fromPartialFile, qint64 bytesSoFar)
    {
        auto task = std::make_shared<DownloadTask>();
        task->identity = nextIdentity++;
        task->modelId = id;
        downloadTasks.insert(id, task);
        taskToModelId[task->identity] = id;
        lastUpdateTimes.insert(id, clock());
        lastDownloadedBytes.insert(id, bytesSoFar);
        downloadSpeeds.insert(id, 0.0);
        awaitingFirstReport.insert(id);

        Private *d = this;
        session->post([d, task, info, fromPartialFile, partial = partialFile(id)] {
            DownloadTransfer::Events events;
            const quint64 identity = task->identity;
            events.responded = [d, identity](const QByteArray &blob) {
                d->stateQueue->async([d, identity, blob] { d->onResponded(identity, blob); });
            };
            events.progressed = [d, task](qint64 written, qint64 expected) {
                task->written = written;
                task->expected = expected;
                if (!task->reportQueued.exchange(true))
                    d->stateQueue->async([d, task] {
                        task->reportQueued = false;
                        d->onProgress(task->identity, task->written, task->expected);
                    });
            };
            events.finished = [d, task](int status, const QString &staged, const QString &moveError) {
                stopTransfer(*task);
                d->stateQueue->async([d, identity = task->identity, status, staged, moveError] {
                    d->onFinished(identity, status, staged, moveError);
                });
            };
            events.failed = [d, task](const QString &error, const QByteArray &blob) {
                stopTransfer(*task);
                d->stateQueue->async(
                    [d, identity = task->identity, error, blob] { d->onFailed(identity, error, blob); });
            };
            task->transfer = new DownloadTransfer(d->session->network(), partial, d->resumeDataDirectory, info,
                                                  fromPartialFile, std::move(events), d->session->context());
            task->transfer->start();
        });
    }

    void onResponded(quint64 identity, const QByteArray &blob)
    {
        // Only for a download still tracked: a canceled one has saved or
        // removed its data through the cancel.
        const auto id = modelIdFor(identity);
        if (!id)
            return;
        resumeData.insert(*id, blob);
        saveResumeData(blob, *id);
    }

    void onProgress(quint64 identity, qint64 written, qint64 expected)
    {
        if (const auto id = modelIdFor(identity))
            report(*id, written, expected);
    }

    // The throttle: the first report of a download always goes out; later
    // ones at most every 0.2 s, with the speed smoothed.
    void report(const QUuid &id, qint64 written, qint64 expected)
    {
        const DownloadProgressHandler handler = progressHandlerFor(id);
        if (!handler)
            return;
        const double now = clock();
        const auto lastTime = lastUpdateTimes.constFind(id);
        const double elapsed = lastTime == lastUpdateTimes.constEnd() ? 0.0 : now - *lastTime;
        const bool first = lastTime == lastUpdateTimes.constEnd() || !lastDownloadedBytes.contains(id)
            || awaitingFirstReport.contains(id);
        if (!first && elapsed < kReportInterval)
            return;
        const qint64 delta = written - lastDownloadedBytes.value(id, 0);
        // A download that started over counts down from its old byte count;
        // that is no negative speed.
        const double instant = elapsed > 0 ? std::max(0.0, double(delta) / kBytesPerMegabyte / elapsed) : 0.0;
        const double speed =
            first ? instant : kNewestSampleWeight * instant + kEarlierWeight * downloadSpeeds.value(id, 0.0);
        lastUpdateTimes.insert(id, now);
        lastDownloadedBytes.insert(id, written);
        downloadSpeeds.insert(id, speed);
        awaitingFirstReport.remove(id);
        const double progress = expected >= 1 ? double(written) / double(expected) : 0.0;
        toMain([handler, progress, written, expected, speed] { handler(progress, written, expected, speed); });
    }

    void onFinished(quint64 identity, int status, const QString &staged, const QString &moveError)
    {
        const auto id = modelIdFor(identity);
        const DownloadCompletionHandler completion = id ? completionHandlerFor(*id) : DownloadCompletionHandler();
        if (!moveError.isEmpty()) {
            if (id && completion) {
                clearTracking(*id);
                toMain([completion, moveError] { completion(failure(QuorvaneError::downloadFailed(moveError))); });
            }
            return;
        }
        if (!id || !completion) {
            if (!staged.isEmpty())
                QFile::remove(staged);
            if (id)
                clearTracking(*id);
            return;
        }
        if (status < 200 || status > 299) { // an answer without an HTTP status is never a success
            if (!staged.isEmpty())
                QFile::remove(staged);
            deleteResumeData(*id);
            clearTracking(*id);
            qCInfo(lcDownload, "Download returned HTTP %ld for model %s", long(status), qPrintable(canonicalUuid(*id)));
            toMain([completion, status] { completion(failure(QuorvaneError::httpError(status))); });
            return;
        }
        resumeData.remove(*id);
        clearTracking(*id);
        Private *d = this;
        fileQueue->async([d, id = *id, staged, completion] {
            FileManagerUtility::ensureDirectoryExists(d->modelsDirectory);
            const QString destination = d->finishedFile(id);
            QString error;
            const QFileInfo existing(destination);
            if (existing.exists() || existing.isSymLink()) {
                QFile old(destination);
                if (!old.remove())
                    error = old.errorString();
            }
            if (error.isEmpty()) {
                QFile file(staged);
                if (!file.rename(destination))
                    error = file.errorString();
            }
            if (!error.isEmpty()) {
                QFile::remove(staged);
                d->toMain([completion, error] { completion(failure(QuorvaneError::downloadFailed(error))); });
                return;
            }
            // The resume files go only now: until the file is in place, a
            // quit or crash leaves the download to continue at the next start.
            d->removeResumeFiles(id);
            d->toMain([completion, destination] { completion(success(destination)); });
        });
    }

    void onFailed(quint64 identity, const QString &error, const QByteArray &blob)
    {
        const auto id = modelIdFor(identity);
        if (!id)
            return;
        if (!blob.isEmpty()) {
            resumeData.insert(*id, blob);
            saveResumeData(blob, *id);
            qCInfo(lcDownload, "Saved resume data due to error: %s", qPrintable(error));
        }
        if (const DownloadCompletionHandler completion = completionHandlerFor(*id))
            toMain([completion, error] { completion(failure(QuorvaneError::downloadFailed(error))); });
        clearTracking(*id);
    }

    void cancel(const QUuid &id, bool discardResumeData)
    {
        const TaskPtr task = downloadTasks.value(id);
        if (task && !discardResumeData) {
            session->post([task, weak = self, id] {
                const QByteArray blob = stopTransfer(*task);
                if (blob.isEmpty())
                    return;
                if (const auto d = weak.lock())
                    d->stateQueue->async([d = d.get(), id, blob] {
                        d->resumeData.insert(id, blob);
                        d->saveResumeData(blob, id);
                        qCInfo(lcDownload, "Saved resume data for canceled download: %s",
                               qPrintable(canonicalUuid(id)));
                    });
            });
            clearTracking(id);
        } else if (task) {
            // The partial file goes once the transfer has stopped writing to it.
            session->post([task, partial = partialFile(id)] {
                stopTransfer(*task);
                QFile::remove(partial);
            });
            clearTracking(id);
            deleteResumeData(id);
            qCInfo(lcDownload, "Canceled and discarded download: %s", qPrintable(canonicalUuid(id)));
        } else if (discardResumeData) {
            deleteResumeData(id);
        }
    }

    // A download whose file was moved into Models, but whose record did not
    // learn it (a quit or crash in between). True when it was dealt with: a
    // file of the record's known size completes the record; any other is
    // removed and, without resume data, downloaded again from its link.
    bool settleFinishedFile(const AIModel &model)
    {
        const QString path = finishedFile(model.id);
        const QFileInfo file(path);
        if (!file.isFile())
            return false;
        if (model.totalBytes > 0 && file.size() == model.totalBytes) {
            deleteResumeData(model.id);
            qCInfo(lcDownload, "Found the finished file of download: %s", qPrintable(model.name));
            if (const DownloadCompletionHandler completion = completionHandlerFor(model.id))
                toMain([completion, path] { completion(success(path)); });
            return true;
        }
        if (resumeData.contains(model.id))
            return false; // continued as usual; the new file replaces this one
        QFile::remove(path);
        qCInfo(lcDownload, "Removed a download file of the wrong size: %s", qPrintable(model.name));
        DownloadResumeInfo info;
        info.url = QUrl(model.url, QUrl::StrictMode);
        if (info.url.isValid() && !info.url.scheme().isEmpty()) {
            qCInfo(lcDownload, "Downloading again: %s", qPrintable(model.name));
            // Started as a continued download, so that a failure keeps its
            // resume data; without validators it fetches the whole file.
            startTask(model.id, info, true, 0);
        }
        return true;
    }

    // Partial files with neither resume data nor a record: nothing can
    // continue them.
    void removeOrphanPartialFiles(const QList<AIModel> &models)
    {
        const QDir folder(resumeDataDirectory);
        for (const QString &name : folder.entryList({QStringLiteral("*.partial")}, QDir::Files | QDir::Hidden)) {
            const std::optional<QUuid> id = parseUuid(QFileInfo(name).completeBaseName());
            if (!id || resumeData.contains(*id) || downloadTasks.contains(*id)
                || std::any_of(models.cbegin(), models.cend(), [&](const AIModel &m) { return m.id == *id; }))
                continue;
            if (QFile::remove(folder.filePath(name)))
                qCInfo(lcDownload, "Removed a partial download left behind: %s", qPrintable(name));
        }
    }

    void resumeIncomplete(const QList<AIModel> &models)
    {
        qCInfo(lcDownload, "Checking for incomplete downloads to resume...");
        removeOrphanPartialFiles(models);
        for (const AIModel &model : models) {
            if (model.isDownloaded || downloadTasks.contains(model.id) || settleFinishedFile(model)
                || !(model.downloadProgress > 0))
                continue;
            const auto blob = resumeData.constFind(model.id);
            if (blob == resumeData.constEnd())
                continue;
            const std::optional<DownloadResumeInfo> info = DownloadResumeInfo::fromBlob(*blob);
            if (!info)
                continue;
            qCInfo(lcDownload, "Resuming download for: %s", qPrintable(model.name));
            startTask(model.id, *info, true, model.downloadedBytes);
        }
    }

    // Stops every running transfer and stores what continues it. Tasks whose
    // transfer already ended stay tracked, so their result is still handled.
    void terminate()
    {
        const QList<TaskPtr> tasks = downloadTasks.values();
        for (const TaskPtr &task : tasks) {
            QByteArray blob;
            bool stopped = false;
            session->call([&] {
                stopped = task->transfer != nullptr;
                blob = stopTransfer(*task);
            });
            if (!stopped)
                continue;
            if (!blob.isEmpty()) {
                resumeData.insert(task->modelId, blob);
                saveResumeData(blob, task->modelId);
            }
            clearTracking(task->modelId);
        }
    }
};

ModelDownloadManager &ModelDownloadManager::shared()
{
    // Never destroyed: downloads run as long as the process.
    static ModelDownloadManager *instance = [] {
        auto *manager = new ModelDownloadManager();
        if (auto *app = QCoreApplication::instance()) {
            if (manager->thread() != app->thread())
                manager->moveToThread(app->thread());
            connect(app, &QCoreApplication::aboutToQuit, manager, &ModelDownloadManager::applicationWillTerminate,
                    Qt::DirectConnection);
        }
        return manager;
    }();
    return *instance;
}

ModelDownloadManager::ModelDownloadManager(QObject *parent, Clock clock)
    : QObject(parent), d(std::make_shared<Private>())
{
    d->q = this;
    d->self = d;
    d->clock = clock ? std::move(clock) : Clock(monotonicSeconds);
    d->stateQueue = std::make_unique<SerialQueue>(QString::fromLatin1(kStateQueueLabel));
    d->fileQueue = std::make_unique<SerialQueue>(QString::fromLatin1(kFileQueueLabel));
    FileManagerUtility &files = FileManagerUtility::shared();
    d->resumeDataDirectory = files.appSupportDirectory() + QStringLiteral("/ResumeData");
    d->modelsDirectory = files.modelsDirectory();
    QDir().mkpath(d->resumeDataDirectory);
    d->stateQueue->async([d = d.get()] { d->loadResumeData(); });
}

ModelDownloadManager::~ModelDownloadManager()
{
    // The network first, so that nothing posts to the queues any more; then
    // the queues, dropping what has not run.
    d->session->close();
    d->stateQueue.reset();
    d->fileQueue.reset();
}

void ModelDownloadManager::downloadModel(const QUrl &url, const QUuid &modelId, DownloadProgressHandler progress,
                                         DownloadCompletionHandler completion)
{
    d->stateQueue->async([d = d.get(), url, modelId, progress = std::move(progress),
                          completion = std::move(completion)] {
        DownloadResumeInfo info;
        info.url = url;
        d->startTask(modelId, info, false, 0);
        if (progress)
            d->progressHandlers.insert(modelId, progress);
        if (completion)
            d->completionHandlers.insert(modelId, completion);
    });
}

void ModelDownloadManager::cancelDownload(const QUuid &modelId, bool discardResumeData)
{
    d->stateQueue->async([d = d.get(), modelId, discardResumeData] { d->cancel(modelId, discardResumeData); });
}

void ModelDownloadManager::resumeIncompleteDownloads(const QList<AIModel> &models)
{
    d->stateQueue->async([d = d.get(), models] { d->resumeIncomplete(models); });
}

void ModelDownloadManager::setProgressFallback(ProgressFallback fallback)
{
    d->stateQueue->async([d = d.get(), fallback = std::move(fallback)] { d->progressFallback = fallback; });
}

void ModelDownloadManager::setCompletionFallback(CompletionFallback fallback)
{
    d->stateQueue->async([d = d.get(), fallback = std::move(fallback)] { d->completionFallback = fallback; });
}

void ModelDownloadManager::applicationWillTerminate()
{
    d->stateQueue->sync([d = d.get()] { d->terminate(); });
    d->fileQueue->sync([] {});
}

QString ModelDownloadManager::resumeDataDirectory() const { return d->resumeDataDirectory; }

QString ModelDownloadManager::modelsDirectory() const { return d->modelsDirectory; }

void ModelDownloadManager::drainQueues()
{
    d->stateQueue->sync([] {});
    d->fileQueue->sync([] {});
}

// The model library and the downloads that fill it.
#include "app/app_state.h"

#include "core/file_manager_utility.h"
#include "core/preference_keys.h"
#include "models/model_download_manager.h"
#include "platform/byte_count.h"
#include "platform/logging.h"
#include "platform/main_thread.h"
#include "platform/serial_queue.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPointer>

namespace {

QString key(const char *name) { return QString::fromLatin1(name); }

} // namespace

std::optional<AIModel> AppState::modelById(const QUuid &id) const
{
    const auto it = findById(m_downloadedModels, id);
    if (it == m_downloadedModels.cend())
        return std::nullopt;
    return *it;
}

void AppState::addModel(const AIModel &model)
{
    m_downloadedModels.append(model);
    emit downloadedModelsChanged();
    if (!m_hasDownloadedModels) {
        m_hasDownloadedModels = true;
        emit hasDownloadedModelsChanged();
    }
    m_preferences.setBool(key(prefkeys::kHasDownloadedModels), true);
    m_preferences.setBool(key(prefkeys::kDidCompleteOnboarding), true);
    saveModels();

    if (model.isDownloaded && !model.filePath.isEmpty()) {
        LlamaCPPManager *engine = &m_engine;
        const QString path = model.filePath;
        m_templateQueue->async([engine, path] { engine->prewarmChatTemplate(path); });
    }
    if (!m_selectedModel && model.isDownloaded) {
        m_selectedModel = model;
        emit selectedModelChanged();
        saveSelectedModelId();
        m_engine.loadModel(model);
    }
    if (m_isFirstLaunch) {
        setCurrentView(AppView::Chat);
        m_isFirstLaunch = false;
        emit isFirstLaunchChanged();
    }
}

void AppState::selectModel(const AIModel &model)
{
    if (!model.isDownloaded)
        return;
    m_selectedModel = model;
    emit selectedModelChanged();
    saveSelectedModelId();
    m_engine.loadModel(model);
}

void AppState::selectModelById(const QString &id)
{
    if (const auto uuid = parseUuid(id)) {
        if (const auto model = modelById(*uuid))
            selectModel(*model);
    }
}

void AppState::deleteModel(const AIModel &model)
{
    qCInfo(lcModelPersistence, "Deleting model: %s", qPrintable(model.name));
    if (m_downloads)
        m_downloads->cancelDownload(model.id, true);
    if (m_engine.currentModel() && m_engine.currentModel()->id == model.id)
        m_engine.unloadModel();
    deleteModelFiles(model);

    m_downloadedModels.removeIf([&](const AIModel &m) { return m.id == model.id; });
    emit downloadedModelsChanged();
    if (m_selectedModel && m_selectedModel->id == model.id) {
        m_selectedModel.reset();
        emit selectedModelChanged();
        m_preferences.remove(key(prefkeys::kSelectedModelId));
    }
    saveModels();
    if (m_downloadedModels.isEmpty()) {
        if (m_hasDownloadedModels) {
            m_hasDownloadedModels = false;
            emit hasDownloadedModelsChanged();
        }
        m_preferences.setBool(key(prefkeys::kHasDownloadedModels), false);
    }
    qCInfo(lcModelPersistence, "Model deleted. Remaining models: %ld", long(m_downloadedModels.size()));
}

void AppState::deleteModelById(const QString &id)
{
    if (const auto uuid = parseUuid(id)) {
        if (const auto model = modelById(*uuid))
            deleteModel(*model);
    }
}

void AppState::deleteModelFiles(const AIModel &model)
{
    QStringList candidates;
    if (!model.filePath.isEmpty())
        candidates << model.filePath;
    const QString modelsDirectory = FileManagerUtility::shared().modelsDirectory();
    FileManagerUtility::ensureDirectoryExists(modelsDirectory);
    const QString byId = modelsDirectory + QLatin1Char('/') + canonicalUuid(model.id) + QStringLiteral(".gguf");
    if (!candidates.contains(byId))
        candidates << byId;
    for (const QString &path : std::as_const(candidates)) {
        const QFileInfo info(path);
        if (!info.exists() && !info.isSymLink())
            continue;
        QFile file(path);
        if (file.remove())
            qCInfo(lcModelPersistence, "Deleted model file: %s", qPrintable(info.fileName()));
        else
            qCInfo(lcModelPersistence, "Could not delete model file %s: %s", qPrintable(info.fileName()),
                   qPrintable(file.errorString()));
    }
}

void AppState::applyDownloadProgress(const QUuid &id, double progress, qint64 downloadedBytes, qint64 totalBytes,
                                     double speed)
{
    const auto model = findById(m_downloadedModels, id);
    if (model == m_downloadedModels.end())
        return;
    model->downloadProgress = progress;
    model->downloadedBytes = downloadedBytes;
    model->totalBytes = totalBytes;
    model->downloadSpeed = speed;
    emit downloadedModelsChanged();
    saveModelsThrottled();
}

void AppState::markDownloadComplete(const QUuid &id, const QString &filePath)
{
    const auto model = findById(m_downloadedModels, id);
    if (model == m_downloadedModels.end()) {
        // The model was deleted while its finished file was moved into
        // place; no record names the file any more.
        if (QFile::remove(filePath))
            qCInfo(lcModelPersistence, "Deleted model file: %s", qPrintable(QFileInfo(filePath).fileName()));
        return;
    }
    model->isDownloaded = true;
    model->downloadProgress = 1.0;
    model->filePath = filePath;
    const qint64 size = FileManagerUtility::fileSize(*model);
    if (size >= 1)
        model->size = formatByteCount(size);
    const AIModel finished = *model;
    emit downloadedModelsChanged();
    saveModels();
    if (!m_selectedModel) {
        m_selectedModel = finished;
        emit selectedModelChanged();
        saveSelectedModelId();
        m_engine.loadModel(finished);
    }
}

void AppState::installDownloadFallbacks()
{
    if (!m_downloads)
        return;
    QPointer<AppState> self(this);
    m_downloads->setProgressFallback([self](const QUuid &id, double progress, qint64 bytes, qint64 total, double speed) {
        mainthread::post(self, [self, id, progress, bytes, total, speed] {
            self->applyDownloadProgress(id, progress, bytes, total, speed);
        });
    });
    m_downloads->setCompletionFallback([self](const QUuid &id, const ModelDownloadManager::DownloadResult &result) {
        mainthread::post(self, [self, id, result] {
            if (result.succeeded()) {
                self->markDownloadComplete(id, *result.filePath);
                return;
            }
            const QuorvaneError error = result.error.value_or(QuorvaneError::networkError());
            qCInfo(lcDownload, "Resumed download failed: %s", qPrintable(error.description()));
            // Only an answer from the server ends the record; after a network
            // failure it stays, to be continued at the next launch.
            if (error.kind() == QuorvaneError::Kind::HttpError) {
                if (const auto model = self->modelById(id))
                    self->deleteModel(*model);
            }
        });
    });
}

void AppState::startModelDownload(const AIModel &model, const char *failureLog)
{
    QPointer<AppState> self(this);
    const QUuid id = model.id;
    const QByteArray logFormat(failureLog);
    const auto fail = [self, id, logFormat](const QuorvaneError &error) {
        qCInfo(lcDownload, logFormat.constData(), qPrintable(error.description()));
        if (!self)
            return;
        if (const auto record = self->modelById(id))
            self->deleteModel(*record);
    };
    const QUrl url(model.url, QUrl::StrictMode);
    if (!url.isValid() || url.scheme().isEmpty() || !m_downloads) {
        mainthread::post(this, [fail] { fail(QuorvaneError::networkError()); });
        return;
    }
    m_downloads->downloadModel(
        url, id,
        [self, id](double progress, qint64 bytes, qint64 total, double speed) {
            if (self)
                self->applyDownloadProgress(id, progress, bytes, total, speed);
        },
        [self, id, fail](const ModelDownloadManager::DownloadResult &result) {
            if (result.succeeded()) {
                if (self)
                    self->markDownloadComplete(id, *result.filePath);
                return;
            }
            fail(result.error.value_or(QuorvaneError::networkError()));
        });
}

void AppState::importModelFile(const QString &source, const QString &destination,
                               std::function<void(const std::optional<QString> &error)> done)
{
    QPointer<AppState> self(this);
    m_importQueue->async([self, source, destination, done] {
        // Copied under a temporary name and renamed when complete, so that a
        // copy cut short never looks like a model.
        const QString partial = destination + QStringLiteral(".importing");
        QFile::remove(partial);
        QFile input(source);
        std::optional<QString> error;
        if (!input.copy(partial)) {
            error = input.errorString();
        } else if (QFileInfo::exists(destination) || !QFile::rename(partial, destination)) {
            error = tr("A model with this filename already exists");
        }
        if (error)
            QFile::remove(partial);
        mainthread::post(self, [self, source, destination, done, error] {
            if (!error) {
                const QFileInfo copied(destination);
                AIModel model = AIModel::make(QFileInfo(source).completeBaseName(), tr("Local File"));
                model.isDownloaded = true;
                model.filePath = destination;
                model.size = formatByteCount(copied.size());
                model.downloadProgress = 1.0;
                model.downloadedBytes = model.totalBytes = copied.size();
                self->addModel(model);
            }
            done(error);
        });
    });
}

void AppState::removeUnfinishedImports()
{
    // Only at start: no import runs yet, so every such file is a copy that
    // a crash or quit cut short.
    const QDir models(FileManagerUtility::shared().modelsDirectory());
    const QStringList pattern{QStringLiteral("*.gguf.importing")};
    for (const QFileInfo &entry : models.entryInfoList(pattern, QDir::Files | QDir::Hidden)) {
        const bool named = std::any_of(m_downloadedModels.cbegin(), m_downloadedModels.cend(),
                                       [&](const AIModel &m) { return m.filePath == entry.absoluteFilePath(); });
        if (!named && QFile::remove(entry.absoluteFilePath()))
            qCInfo(lcModelPersistence, "Removed an unfinished import: %s", qPrintable(entry.fileName()));
    }
}

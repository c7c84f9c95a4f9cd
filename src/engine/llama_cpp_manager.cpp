#include "engine/llama_cpp_manager.h"

#include "engine/generation_run.h"
#include "platform/logging.h"
#include "platform/main_thread.h"
#include "platform/paths.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QPointer>

#include <sys/stat.h>

LlamaCPPManager &LlamaCPPManager::shared()
{
    // Never destroyed: the engine lives as long as the process.
    static LlamaCPPManager *instance = new LlamaCPPManager();
    return *instance;
}

LlamaCPPManager::LlamaCPPManager(QObject *parent, EngineTimings timings)
    : QObject(parent), m_timings(timings),
      m_processQueue(std::make_unique<SerialQueue>(QString::fromLatin1(kProcessQueueLabel))),
      m_defaultBackend(std::make_shared<ProcessReplyBackend>())
{
    qCInfo(lcLlamaCPP, "Manager initialized");
    removeLeftoverPrompts();
    // No llama-completion may outlive the application: stop them all when it
    // is about to quit.
    if (auto *app = QCoreApplication::instance())
        m_quitConnection = connect(app, &QCoreApplication::aboutToQuit, this,
                                   &LlamaCPPManager::applicationWillTerminate, Qt::DirectConnection);
}

LlamaCPPManager::~LlamaCPPManager()
{
    disconnect(m_quitConnection);
    stopAllSessions();
    applyUnloaded();
    qCInfo(lcLlamaCPP, "Model unloaded");
    // drop queued work before the members it may use go away
    m_processQueue.reset();
}

std::optional<QString> LlamaCPPManager::findLlamaCompletion() const
{
    const QString home = paths::homeDirectory();
    qCInfo(lcLlamaCPP, "Checking for app's own llama-completion installation...");
    qCInfo(lcLlamaCPP, "Home directory: %s", qPrintable(home));
    const QString candidates[] = {
        paths::dataDirectory() + QStringLiteral("/llama.cpp/build/bin/llama-completion"),
        home + QStringLiteral("/Desktop/Quorvane/Quorvane/llama.cpp/build/bin/llama-completion"),
    };
    for (const QString &path : candidates) {
        qCInfo(lcLlamaCPP, "Checking: %s", qPrintable(path));
        if (QFileInfo::exists(path)) {
            qCInfo(lcLlamaCPP, "✓ Found app's llama-completion at: %s", qPrintable(path));
            return path;
        }
        qCInfo(lcLlamaCPP, "✗ Not found at: %s", qPrintable(path));
    }
    qCInfo(lcLlamaCPP, "App's llama-completion not found - installation required");
    return std::nullopt;
}

void LlamaCPPManager::setReplyBackend(std::shared_ptr<ReplyBackend> backend)
{
    std::lock_guard lock(m_backendLock);
    m_backend = std::move(backend);
}

std::shared_ptr<ReplyBackend> LlamaCPPManager::replyBackend() const
{
    std::lock_guard lock(m_backendLock);
    return m_backend ? m_backend : m_defaultBackend;
}

bool LlamaCPPManager::isLlamaCPPInstalled() const
{
    const auto path = findLlamaCompletion();
    if (!path)
        return false;
    struct stat st {};
    if (::stat(QFile::encodeName(*path).constData(), &st) != 0)
        return false;
    return (st.st_mode & 0111) != 0;
}

void LlamaCPPManager::loadModel(const AIModel &model)
{
    if (!model.isDownloaded || model.filePath.isEmpty()) {
        mainthread::runOrPost(this, [this] { setErrorMessage(tr("Model is not downloaded")); });
        return;
    }
    if (!QFileInfo::exists(model.filePath)) {
        mainthread::runOrPost(this, [this] { setErrorMessage(tr("Model file not found")); });
        return;
    }
    unloadModel();
    mainthread::runOrPost(this, [this, model] {
        applyLoaded(model);
        qCInfo(lcLlamaCPP, "Model selected: %s", qPrintable(model.name));
    });
}

void LlamaCPPManager::unloadModel()
{
    stopAllSessions();
    mainthread::runOrPost(this, [this] {
        applyUnloaded();
        qCInfo(lcLlamaCPP, "Model unloaded");
    });
}

void LlamaCPPManager::applyLoaded(const AIModel &model)
{
    m_loadingProgress = 1.0;
    emit loadingProgressChanged();
    m_isModelLoaded = true;
    emit isModelLoadedChanged();
    m_currentModel = model;
    emit currentModelChanged();
    setErrorMessage(std::nullopt);
}

void LlamaCPPManager::applyUnloaded()
{
    if (m_isModelLoaded) {
        m_isModelLoaded = false;
        emit isModelLoadedChanged();
    }
    if (m_currentModel) {
        m_currentModel.reset();
        emit currentModelChanged();
    }
    if (m_loadingProgress != 0.0) {
        m_loadingProgress = 0.0;
        emit loadingProgressChanged();
    }
    setErrorMessage(std::nullopt);
}

void LlamaCPPManager::setErrorMessage(const std::optional<QString> &value)
{
    if (m_errorMessage == value)
        return;
    m_errorMessage = value;
    emit errorMessageChanged();
}

int LlamaCPPManager::registerProcess(const QUuid &sessionId, std::shared_ptr<ProcessHandle> process)
{
    std::lock_guard lock(m_sessionLock);
    m_sessionProcesses.insert(sessionId, process);
    m_currentProcess = std::move(process);
    return int(m_sessionProcesses.size());
}

int LlamaCPPManager::unregisterProcess(const QUuid &sessionId, const ProcessHandle *process)
{
    std::lock_guard lock(m_sessionLock);
    const auto it = m_sessionProcesses.constFind(sessionId);
    if (it != m_sessionProcesses.constEnd() && it->get() == process)
        m_sessionProcesses.erase(it);
    m_currentProcess.reset();
    return int(m_sessionProcesses.size());
}

bool LlamaCPPManager::isStoppedLocked(const QUuid &sessionId, quint64 request) const
{
    return request <= m_allStoppedUpTo || request <= m_stoppedUpTo.value(sessionId, 0);
}

bool LlamaCPPManager::isRequestStopped(const QUuid &sessionId, quint64 request) const
{
    std::lock_guard lock(m_sessionLock);
    return isStoppedLocked(sessionId, request);
}

bool LlamaCPPManager::endRequest(const QUuid &sessionId, quint64 request)
{
    std::lock_guard lock(m_sessionLock);
    const bool stopped = isStoppedLocked(sessionId, request);
    // Requests run in order, so none up to this one is left to stop.
    m_stoppedUpTo.removeIf([request](const auto &entry) { return entry.value() <= request; });
    return stopped;
}

LlamaCPPManager::Launch LlamaCPPManager::registerAndLaunch(const QUuid &sessionId, quint64 request,
                                                           const std::shared_ptr<ProcessHandle> &process,
                                                           const std::function<bool()> &launch, int *activeCount)
{
    std::lock_guard lock(m_sessionLock);
    if (isStoppedLocked(sessionId, request))
        return Launch::Stopped;
    m_sessionProcesses.insert(sessionId, process);
    m_currentProcess = process;
    *activeCount = int(m_sessionProcesses.size());
    if (launch())
        return Launch::Started;
    m_sessionProcesses.remove(sessionId);
    m_currentProcess.reset();
    return Launch::Failed;
}

bool LlamaCPPManager::hasProcess(const QUuid &sessionId) const
{
    std::lock_guard lock(m_sessionLock);
    return m_sessionProcesses.contains(sessionId);
}

void LlamaCPPManager::stopAllSessions()
{
    qCInfo(lcLlamaCPP, "Stopping all session processes");
    {
        std::lock_guard lock(m_sessionLock);
        for (auto it = m_sessionProcesses.cbegin(); it != m_sessionProcesses.cend(); ++it) {
            if (it.value() && it.value()->isRunning()) {
                it.value()->terminate();
                qCInfo(lcLlamaCPP, "Terminated process for session: %s",
                       qPrintable(logging::shortId(canonicalUuid(it.key()))));
            }
        }
        m_sessionProcesses.clear();
        m_currentProcess.reset();
    }
    qCInfo(lcLlamaCPP, "All session processes stopped");
}

void LlamaCPPManager::applicationWillTerminate()
{
    m_terminating = true;
    stopAllSessions();
    {
        // Reading a chat template is not worth waiting for at quit.
        std::lock_guard guard(m_templateRunsLock);
        for (ProcessHandle *run : std::as_const(m_templateRuns))
            run->kill();
    }
    std::lock_guard lock(m_stagedLock);
    for (const QString &path : std::as_const(m_stagedPrompts))
        QFile::remove(path);
    m_stagedPrompts.clear();
}

bool LlamaCPPManager::noteStagedPrompt(const QString &path)
{
    std::lock_guard lock(m_stagedLock);
    if (m_terminating)
        return false;
    m_stagedPrompts.insert(path);
    return true;
}

void LlamaCPPManager::forgetStagedPrompt(const QString &path)
{
    std::lock_guard lock(m_stagedLock);
    m_stagedPrompts.remove(path);
}

void LlamaCPPManager::setInstallingLlamaCPP(bool value)
{
    if (m_isInstallingLlamaCPP == value)
        return;
    m_isInstallingLlamaCPP = value;
    emit isInstallingLlamaCPPChanged();
}

void LlamaCPPManager::setLlamaCPPInstallProgress(double value)
{
    if (m_llamaCPPInstallProgress == value)
        return;
    m_llamaCPPInstallProgress = value;
    emit llamaCPPInstallProgressChanged();
}

void LlamaCPPManager::setLlamaCPPInstallStatus(const QString &value)
{
    if (m_llamaCPPInstallStatus == value)
        return;
    m_llamaCPPInstallStatus = value;
    emit llamaCPPInstallStatusChanged();
}

void LlamaCPPManager::setLlamaCPPVerified(bool value)
{
    if (m_isLlamaCPPVerified == value)
        return;
    m_isLlamaCPPVerified = value;
    emit isLlamaCPPVerifiedChanged();
}

void LlamaCPPManager::setLlamaCPPSetupError(const std::optional<QString> &value)
{
    if (m_llamaCPPSetupError == value)
        return;
    m_llamaCPPSetupError = value;
    emit llamaCPPSetupErrorChanged();
}

void LlamaCPPManager::setLlamaCPPVersion(const QString &value)
{
    if (m_llamaCPPVersion == value)
        return;
    m_llamaCPPVersion = value;
    emit llamaCPPVersionChanged();
}

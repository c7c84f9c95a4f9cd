#include "app/reply_engines.h"

#include "app/app_state.h"
#include "core/preference_keys.h"
#include "engine/llama_cpp_manager.h"
#include "engine/llama_server.h"
#include "engine/remote_server.h"
#include "platform/logging.h"
#include "platform/main_thread.h"
#include "platform/secret_store.h"

#include <QFileInfo>

namespace {

QString key(const char *name) { return QString::fromLatin1(name); }

bool isMode(const QString &mode)
{
    return mode == QLatin1String(prefkeys::kEngineModeProcess)
           || mode == QLatin1String(prefkeys::kEngineModeLocalServer)
           || mode == QLatin1String(prefkeys::kEngineModeRemoteServer);
}

constexpr int kMaxIdleMinutes = 24 * 60;

} // namespace

ReplyEngines::ReplyEngines(LlamaCPPManager &engine, AppState &state)
    : QObject(&state), m_engine(engine), m_state(state), m_serverState(LlamaServerState::Stopped)
{
    const QString mode = m_preferences.string(key(prefkeys::kEngineMode)).value_or(QString());
    m_mode = isMode(mode) ? mode : key(prefkeys::kEngineModeProcess);
    bool ok = false;
    const int minutes = m_preferences.value(key(prefkeys::kLocalServerIdleMinutes)).toInt(&ok);
    m_idleMinutes =
        ok && minutes >= 1 && minutes <= kMaxIdleMinutes ? minutes : prefkeys::kDefaultLocalServerIdleMinutes;

    const QString url = m_preferences.string(key(prefkeys::kRemoteServerURL)).value_or(QString());
    const remoteserver::BaseUrl base = remoteserver::parseBaseUrl(url);
    if (base.ok())
        m_remote.baseUrl = base.url;
    else if (!url.isEmpty())
        qCInfo(lcAppState, "Stored remote server address not usable: %s", qPrintable(base.error));
    m_remote.modelId = m_preferences.string(key(prefkeys::kRemoteModelId)).value_or(QString());

    m_key = new SecretStore(key(prefkeys::kSecretService), key(prefkeys::kRemoteAPIKeyAccount), this);
    connect(m_key, &SecretStore::secretChanged, this, [this] {
        updateBackend();
        emit remoteKeyChanged();
    });
    connect(m_key, &SecretStore::memoryOnlyChanged, this, &ReplyEngines::remoteKeyChanged);
    if (!m_remote.baseUrl.isEmpty())
        m_key->load();
    m_modelList = new RemoteModelList(this);
    connect(m_modelList, &RemoteModelList::finished, this, &ReplyEngines::modelsFetched);

    // The model changes in two steps (unloaded, then loaded): the server
    // follows once both have happened, so the same model keeps its server.
    connect(&m_engine, &LlamaCPPManager::isModelLoadedChanged, this, &ReplyEngines::updateLocalServer);
    connect(&m_engine, &LlamaCPPManager::currentModelChanged, this, &ReplyEngines::updateLocalServer);
    connect(&m_engine, &LlamaCPPManager::isLlamaCPPVerifiedChanged, this, [this] {
        refreshAvailability();
        updateLocalServer();
    });
    refreshAvailability();
    updateLocalServer();
    updateBackend();
}

ReplyEngines::~ReplyEngines()
{
    m_engine.setReplyBackend(nullptr);
    m_localBackend.reset();
    m_server.reset();
}

bool ReplyEngines::usesLocalEngine() const { return !usesRemoteServer(); }

bool ReplyEngines::usesRemoteServer() const { return m_mode == QLatin1String(prefkeys::kEngineModeRemoteServer); }

void ReplyEngines::setMode(const QString &mode)
{
    if (!isMode(mode) || mode == m_mode)
        return;
    m_mode = mode;
    m_preferences.setString(key(prefkeys::kEngineMode), mode);
    qCInfo(lcAppState, "Replies are now made by: %s", qPrintable(mode));
    emit modeChanged();
    emit localServerStateChanged();
    if (usesLocalEngine())
        m_state.startLocalEngineChecks(); // the installation a local mode needs
    updateLocalServer();
    updateBackend();
}

void ReplyEngines::refreshAvailability()
{
    const std::optional<QString> program = m_engine.findLlamaCompletion();
    const QString folder = program ? QFileInfo(*program).absolutePath() : QString();
    QString reason;
    if (!program)
        reason = tr("llama.cpp is not installed yet.");
    else if (!LlamaServer::isInstalled(folder))
        reason = tr("The installed llama.cpp has no llama-server, so each reply starts llama-completion "
                    "on its own.");
    if (folder != m_binFolder) { // another installation: a server of the old one ends
        m_binFolder = folder;
        m_localBackend.reset();
        m_server.reset();
        setServerState(LlamaServerState::Stopped);
    }
    if (reason != m_localServerReason) {
        m_localServerReason = reason;
        emit localServerAvailabilityChanged();
        emit localServerStateChanged();
    }
}

void ReplyEngines::updateLocalServer()
{
    mainthread::post(this, [this] {
        const bool wanted = m_mode == QLatin1String(prefkeys::kEngineModeLocalServer) && isLocalServerAvailable()
                            && m_engine.isModelLoaded() && m_engine.currentModel();
        if (wanted && !m_server) {
            LlamaServerTimings timings;
            timings.idleLimit = std::chrono::minutes(m_idleMinutes);
            m_server = std::make_shared<LlamaServer>(m_binFolder, timings);
            const LlamaServer *server = m_server.get();
            m_server->setStateCallback([this, server](LlamaServerState state) {
                mainthread::post(this, [this, server, state] {
                    if (m_server.get() == server)
                        setServerState(state);
                });
            });
            m_localBackend = std::make_shared<LocalServerReplyBackend>(m_server);
        }
        if (wanted)
            m_server->start(m_engine.currentModel()->filePath);
        else if (m_server)
            m_server->stop();
        updateBackend();
    });
}

void ReplyEngines::updateBackend()
{
    std::shared_ptr<ReplyBackend> backend;
    if (usesRemoteServer()) {
        const RemoteServerConfig config{m_remote.baseUrl, m_remote.modelId, m_key->secret().toUtf8()};
        if (!m_remoteBackend || m_remoteBackend->config() != config)
            m_remoteBackend = std::make_shared<RemoteReplyBackend>(config);
        backend = m_remoteBackend;
    } else if (m_mode == QLatin1String(prefkeys::kEngineModeLocalServer) && isLocalServerAvailable()) {
        backend = m_localBackend; // none before a model is loaded: then no reply can be asked for
    }
    m_engine.setReplyBackend(backend);
}

void ReplyEngines::setServerState(LlamaServerState state)
{
    const QString error = state == LlamaServerState::Failed && m_server ? m_server->errorText() : QString();
    if (state == m_serverState && error == m_serverError)
        return;
    m_serverState = state;
    m_serverError = error;
    emit localServerStateChanged();
}

QString ReplyEngines::localServerState() const
{
    if (m_mode != QLatin1String(prefkeys::kEngineModeLocalServer) || !isLocalServerAvailable())
        return QString();
    switch (m_serverState) {
    case LlamaServerState::Starting: return tr("Starting…");
    case LlamaServerState::Loading: return tr("Loading model…");
    case LlamaServerState::Ready: return tr("Ready");
    case LlamaServerState::Stopping: return tr("Stopping…");
    case LlamaServerState::Failed: return tr("Could not start: %1").arg(m_serverError);
    case LlamaServerState::Stopped: break;
    }
    return tr("Not running");
}

bool ReplyEngines::isLocalServerLoading() const
{
    return !localServerState().isEmpty()
           && (m_serverState == LlamaServerState::Starting || m_serverState == LlamaServerState::Loading);
}

bool ReplyEngines::isLocalServerReady() const
{
    return !localServerState().isEmpty() && m_serverState == LlamaServerState::Ready;
}

void ReplyEngines::setLocalServerIdleMinutes(int minutes)
{
    minutes = qBound(1, minutes, kMaxIdleMinutes);
    if (minutes == m_idleMinutes)
        return;
    m_idleMinutes = minutes;
    m_preferences.setInt(key(prefkeys::kLocalServerIdleMinutes), minutes);
    setLocalServerIdleLimit(std::chrono::minutes(minutes));
    emit localServerIdleMinutesChanged();
}

void ReplyEngines::setLocalServerIdleLimit(std::chrono::milliseconds limit)
{
    if (m_server)
        m_server->setIdleLimit(limit);
}

bool ReplyEngines::isConnecting() const { return m_modelList->isBusy(); }

bool ReplyEngines::hasRemoteKey() const { return m_key->hasSecret(); }

bool ReplyEngines::isRemoteKeyMemoryOnly() const { return m_key->isMemoryOnly(); }

QString ReplyEngines::remoteKeyNotice() const
{
    return m_key->isMemoryOnly() && m_key->hasSecret()
               ? tr("No secret store is available: the API key is kept only until Quorvane quits.")
               : QString();
}

QString ReplyEngines::remoteServerNotice() const
{
    if (m_remote.baseUrl.isEmpty())
        return QString();
    return tr("Your conversations are sent to %1.").arg(m_remote.baseUrl.host());
}

void ReplyEngines::setRemoteError(const QString &error)
{
    if (error == m_remoteError)
        return;
    m_remoteError = error;
    emit remoteErrorChanged();
}

void ReplyEngines::connectRemoteServer(const QString &url, const QString &apiKey)
{
    const remoteserver::BaseUrl base = remoteserver::parseBaseUrl(url);
    if (!base.ok()) {
        setRemoteError(base.error);
        return;
    }
    m_connectingUrl = base.url.toString();
    // An empty key field keeps the stored key, for the server it belongs to only.
    const bool sameServer = base.url == m_remote.baseUrl;
    m_connectingKey = !apiKey.isEmpty() ? apiKey : sameServer ? m_key->secret() : QString();
    m_connectIsNew = true;
    m_modelList->fetch(m_connectingUrl, m_connectingKey);
    emit connectingChanged();
}

void ReplyEngines::refreshRemoteModels()
{
    if (m_remote.baseUrl.isEmpty())
        return;
    m_connectIsNew = false;
    m_modelList->fetch(m_remote.baseUrl.toString(), m_key->secret());
    emit connectingChanged();
}

void ReplyEngines::modelsFetched(const QStringList &ids, const QString &error)
{
    emit connectingChanged();
    if (!error.isEmpty()) {
        qCInfo(lcAppState, "Remote server not usable: %s", qPrintable(error));
        setRemoteError(error);
        return;
    }
    if (m_connectIsNew) {
        m_remote.baseUrl = QUrl(m_connectingUrl);
        m_preferences.setString(key(prefkeys::kRemoteServerURL), m_connectingUrl);
        if (m_connectingKey != m_key->secret())
            m_key->setSecret(m_connectingKey);
    }
    if (ids != m_remoteModels) {
        m_remoteModels = ids;
        emit remoteModelsChanged();
    }
    m_remote.modelId = ids.contains(m_remote.modelId) ? m_remote.modelId : ids.first();
    m_preferences.setString(key(prefkeys::kRemoteModelId), m_remote.modelId);
    setRemoteError(QString());
    emit remoteServerChanged();
    updateBackend();
    if (std::exchange(m_connectIsNew, false))
        emit remoteServerConnected();
}

void ReplyEngines::selectRemoteModel(const QString &id)
{
    if (!m_remoteModels.contains(id) || id == m_remote.modelId)
        return;
    m_remote.modelId = id;
    m_preferences.setString(key(prefkeys::kRemoteModelId), id);
    emit remoteServerChanged();
    updateBackend();
}

void ReplyEngines::forgetRemoteKey() { m_key->clear(); }

bool ReplyEngines::startWithRemoteServer()
{
    if (!isRemoteServerConfigured())
        return false;
    setMode(key(prefkeys::kEngineModeRemoteServer));
    m_state.finishOnboarding();
    return true;
}

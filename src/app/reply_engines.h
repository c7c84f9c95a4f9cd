#pragma once

// How replies are made, and the servers that make them. QML reaches this
// object as the singleton "Engines" (import Quorvane.State). Every property
// has a NOTIFY signal; everything runs on the main thread.
//
// Mode (Settings: "How replies are made")
//   mode : string (read/write)           "process" (default), "localServer" or "remoteServer";
//                                        the reply whose turn comes next uses it
//   usesLocalEngine : bool               the mode needs llama.cpp here (not "remoteServer");
//                                        the installation and setup screens only matter then
//
// Local server ("Keep the model loaded")
//   isLocalServerAvailable : bool        the installed llama.cpp has llama-server; when not,
//                                        "localServer" replies come from one process per reply
//   localServerUnavailableReason : string   why not, for Settings; empty when available
//   localServerState : string            "" (mode off or no llama-server), "Not running", "Starting…",
//                                        "Loading model…", "Ready", "Stopping…",
//                                        or "Could not start: <llama-server's last words>"
//   isLocalServerLoading : bool          starting or loading: show the loading indicator
//   isLocalServerReady : bool
//   localServerIdleMinutes : int (read/write)  unused this long, the server stops (default 15, 1…1440)
//
// Remote server ("Use a server elsewhere")
//   remoteServerUrl : string             the stored base URL, "" when none
//   remoteModelId : string               the chosen model of that server
//   remoteModels : list<string>          the server's models, from the last connect or refresh
//   isRemoteServerConfigured : bool      a URL and a model are chosen: the chat works without
//                                        a local model or llama.cpp in "remoteServer" mode
//   isConnecting : bool                  a connect or refresh is under way
//   remoteError : string                 why the last connect or refresh failed; "" after success
//   hasRemoteKey : bool                  an API key is kept
//   isRemoteKeyMemoryOnly : bool         no secret store answered: the key is kept until quit
//   remoteKeyNotice : string             "" or "No secret store is available: the API key is
//                                        kept only until Quorvane quits."
//   remoteServerNotice : string          "Your conversations are sent to <host>." ("" when no URL)
//
//   connectRemoteServer(url, apiKey)     checks the address, fetches its /v1/models with the key;
//                                        on success stores the address, keeps the key (an empty
//                                        one keeps the stored key), chooses a model (the chosen one
//                                        when offered, else the first) and emits remoteServerConnected();
//                                        on failure remoteError tells why and nothing is stored
//   refreshRemoteModels()                fetches the model list of the stored server again
//   selectRemoteModel(id)                chooses one of remoteModels
//   forgetRemoteKey()                    removes the stored key
//   startWithRemoteServer() : bool       the welcome screen's "Connect to a server", once connected:
//                                        switches to "remoteServer", ends onboarding and opens the
//                                        chat; false when no server is configured yet
// signals: remoteServerConnected()

#include "engine/server_backends.h"
#include "platform/preferences.h"

#include <QObject>
#include <QString>
#include <QStringList>

#include <chrono>
#include <memory>

class AppState;
class LlamaCPPManager;
class LlamaServer;
class RemoteModelList;
class SecretStore;
enum class LlamaServerState;

class ReplyEngines : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString mode READ mode WRITE setMode NOTIFY modeChanged)
    Q_PROPERTY(bool usesLocalEngine READ usesLocalEngine NOTIFY modeChanged)
    Q_PROPERTY(bool isLocalServerAvailable READ isLocalServerAvailable NOTIFY localServerAvailabilityChanged)
    Q_PROPERTY(QString localServerUnavailableReason READ localServerUnavailableReason NOTIFY
                   localServerAvailabilityChanged)
    Q_PROPERTY(QString localServerState READ localServerState NOTIFY localServerStateChanged)
    Q_PROPERTY(bool isLocalServerLoading READ isLocalServerLoading NOTIFY localServerStateChanged)
    Q_PROPERTY(bool isLocalServerReady READ isLocalServerReady NOTIFY localServerStateChanged)
    Q_PROPERTY(int localServerIdleMinutes READ localServerIdleMinutes WRITE setLocalServerIdleMinutes NOTIFY
                   localServerIdleMinutesChanged)
    Q_PROPERTY(QString remoteServerUrl READ remoteServerUrl NOTIFY remoteServerChanged)
    Q_PROPERTY(QString remoteModelId READ remoteModelId NOTIFY remoteServerChanged)
    Q_PROPERTY(QStringList remoteModels READ remoteModels NOTIFY remoteModelsChanged)
    Q_PROPERTY(bool isRemoteServerConfigured READ isRemoteServerConfigured NOTIFY remoteServerChanged)
    Q_PROPERTY(bool isConnecting READ isConnecting NOTIFY connectingChanged)
    Q_PROPERTY(QString remoteError READ remoteError NOTIFY remoteErrorChanged)
    Q_PROPERTY(bool hasRemoteKey READ hasRemoteKey NOTIFY remoteKeyChanged)
    Q_PROPERTY(bool isRemoteKeyMemoryOnly READ isRemoteKeyMemoryOnly NOTIFY remoteKeyChanged)
    Q_PROPERTY(QString remoteKeyNotice READ remoteKeyNotice NOTIFY remoteKeyChanged)
    Q_PROPERTY(QString remoteServerNotice READ remoteServerNotice NOTIFY remoteServerChanged)

public:
    // Reads the mode and the servers from the preferences; the key is read
    // from the secret store only when a remote server is set up.
    ReplyEngines(LlamaCPPManager &engine, AppState &state);
    ~ReplyEngines() override; // ends the local server and waits for it

    QString mode() const { return m_mode; }
    void setMode(const QString &mode);
    bool usesLocalEngine() const;
    bool usesRemoteServer() const;
    // Replies can be asked for with no local model selected.
    bool repliesWithoutLocalModel() const { return usesRemoteServer() && isRemoteServerConfigured(); }

    bool isLocalServerAvailable() const { return m_localServerReason.isEmpty(); }
    QString localServerUnavailableReason() const { return m_localServerReason; }
    QString localServerState() const;
    bool isLocalServerLoading() const;
    bool isLocalServerReady() const;
    int localServerIdleMinutes() const { return m_idleMinutes; }
    void setLocalServerIdleMinutes(int minutes);
    // The idle time in finer steps than the setting's (tests).
    void setLocalServerIdleLimit(std::chrono::milliseconds limit);
    // The running local server, if any (tests and the benchmark).
    std::shared_ptr<LlamaServer> localServer() const { return m_server; }

    QString remoteServerUrl() const { return m_remote.baseUrl.toString(); }
    QString remoteModelId() const { return m_remote.modelId; }
    QStringList remoteModels() const { return m_remoteModels; }
    bool isRemoteServerConfigured() const { return !m_remote.baseUrl.isEmpty() && !m_remote.modelId.isEmpty(); }
    bool isConnecting() const;
    QString remoteError() const { return m_remoteError; }
    bool hasRemoteKey() const;
    bool isRemoteKeyMemoryOnly() const;
    QString remoteKeyNotice() const;
    QString remoteServerNotice() const;

    Q_INVOKABLE void connectRemoteServer(const QString &url, const QString &apiKey);
    Q_INVOKABLE void refreshRemoteModels();
    Q_INVOKABLE void selectRemoteModel(const QString &id);
    Q_INVOKABLE void forgetRemoteKey();
    Q_INVOKABLE bool startWithRemoteServer();

signals:
    void modeChanged();
    void localServerAvailabilityChanged();
    void localServerStateChanged();
    void localServerIdleMinutesChanged();
    void remoteServerChanged();
    void remoteModelsChanged();
    void connectingChanged();
    void remoteErrorChanged();
    void remoteKeyChanged();
    void remoteServerConnected();

private:
    // Checks for llama-server beside the installed llama-completion.
    void refreshAvailability();
    // Starts, restarts or stops the local server for the mode and the model.
    void updateLocalServer();
    // The backend the engine uses for the next reply's turn.
    void updateBackend();
    void setServerState(LlamaServerState state);
    void setRemoteError(const QString &error);
    void modelsFetched(const QStringList &ids, const QString &error);

    LlamaCPPManager &m_engine;
    AppState &m_state;
    Preferences m_preferences;
    QString m_mode;
    int m_idleMinutes;

    QString m_binFolder;           // where llama-completion is installed
    QString m_localServerReason;
    std::shared_ptr<LlamaServer> m_server;
    std::shared_ptr<LocalServerReplyBackend> m_localBackend;
    LlamaServerState m_serverState;
    QString m_serverError;

    std::shared_ptr<RemoteReplyBackend> m_remoteBackend;
    RemoteServerConfig m_remote;   // what is stored; the key comes from the secret store
    QStringList m_remoteModels;
    QString m_remoteError;
    SecretStore *m_key = nullptr;
    RemoteModelList *m_modelList = nullptr;
    QString m_connectingUrl;       // a connect under way: the checked address and its key
    QString m_connectingKey;
    bool m_connectIsNew = false;
};

#pragma once

#include "core/records.h"
#include "core/sessions_store.h"
#include "platform/preferences.h"

#include <QHash>
#include <QList>
#include <QObject>
#include <QSet>
#include <QString>
#include <QUuid>

#include <functional>
#include <memory>
#include <optional>

#include "engine/llama_cpp_manager.h"

class ModelDownloadManager;
class ReplyEngines;
class SerialQueue;

// The one observable application state: the model library and the selected
// model, the conversations and the current one, the per-conversation reply
// state, the system prompt, the appearance and the visible screen. Building
// it runs the application's start-up. It lives on the main thread; every
// change happens there.
class AppState : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool isFirstLaunch READ isFirstLaunch NOTIFY isFirstLaunchChanged)
    Q_PROPERTY(bool hasDownloadedModels READ hasDownloadedModels NOTIFY hasDownloadedModelsChanged)
    Q_PROPERTY(Quorvane::AppView currentView READ currentView WRITE setCurrentView NOTIFY currentViewChanged)
    Q_PROPERTY(int downloadedModelCount READ downloadedModelCount NOTIFY downloadedModelsChanged)
    Q_PROPERTY(QString selectedModelName READ selectedModelName NOTIFY selectedModelChanged)
    Q_PROPERTY(int chatSessionCount READ chatSessionCount NOTIFY chatSessionsChanged)
    Q_PROPERTY(QString currentSessionTitle READ currentSessionTitle NOTIFY currentSessionChanged)
    Q_PROPERTY(QString systemPrompt READ systemPrompt NOTIFY systemPromptChanged)
    Q_PROPERTY(Quorvane::AppearanceMode appearanceMode READ appearanceMode WRITE setAppearanceMode NOTIFY
                   appearanceModeChanged)

public:
    // What installs llama-completion when it is missing or broken (the
    // application passes LlamaInstaller's prebuilt install); it reports
    // through the completion.
    using Installer = std::function<void(InstallCompletion)>;

    // The services start-up hands work to besides the engine.
    struct Services {
        // Without an installer a missing program ends as a setup error.
        Installer installer;
        // Without a download manager no download runs or resumes (tests of
        // other areas); the application passes the shared one.
        ModelDownloadManager *downloads = nullptr;
    };

    // Runs the start-up sequence against the given engine.
    explicit AppState(LlamaCPPManager &engine, QObject *parent = nullptr);
    AppState(LlamaCPPManager &engine, Services services, QObject *parent = nullptr);
    ~AppState() override;

    LlamaCPPManager &engine() const { return m_engine; }
    // How replies are made: the mode, the local server, the remote server.
    ReplyEngines &engines() const { return *m_engines; }

    // Published fields.
    bool isFirstLaunch() const { return m_isFirstLaunch; }
    bool hasDownloadedModels() const { return m_hasDownloadedModels; }
    AppView currentView() const { return m_currentView; }
    const QList<AIModel> &downloadedModels() const { return m_downloadedModels; }
    int downloadedModelCount() const { return int(m_downloadedModels.size()); }
    const std::optional<AIModel> &selectedModel() const { return m_selectedModel; }
    QString selectedModelName() const { return m_selectedModel ? m_selectedModel->name : QString(); }
    const QList<ChatMessage> &chatMessages() const { return m_chatMessages; }
    const QList<ChatSession> &chatSessions() const { return m_chatSessions; }
    int chatSessionCount() const { return int(m_chatSessions.size()); }
    const std::optional<ChatSession> &currentSession() const { return m_currentSession; }
    QString currentSessionTitle() const { return m_currentSession ? m_currentSession->title : QString(); }
    const QHash<QUuid, bool> &sessionTypingState() const { return m_sessionTypingState; }
    const QHash<QUuid, QUuid> &sessionStreamingId() const { return m_sessionStreamingId; }
    const QHash<QUuid, QString> &sessionStreamingContent() const { return m_sessionStreamingContent; }
    QString systemPrompt() const { return m_systemPrompt; }
    AppearanceMode appearanceMode() const { return m_appearanceMode; }
    Date lastModelsSaveTime() const { return m_lastModelsSaveTime; }

    Q_INVOKABLE void setCurrentView(Quorvane::AppView view);
    // The welcome screen is done with (a model was added or a server
    // connected): the chat shows, now and at the next start.
    void finishOnboarding();

    // Persistence: each saves at once, on the main thread, and never throws.
    void loadSavedModels();
    void saveModels(bool silent = false);
    // Saves the model list silently when 5 seconds have passed since the last
    // such save; used while download progress streams in.
    void saveModelsThrottled(Date now = Date::now());
    void saveSelectedModelId();
    void loadChatSessions();
    void saveChatSessions();
    void saveSession(const ChatSession &session);
    Q_INVOKABLE void updateSystemPrompt(const QString &prompt);
    Q_INVOKABLE void setAppearanceMode(Quorvane::AppearanceMode mode);

    // llama-completion at start-up and on Try Again: verify, verify once
    // more, then install; the verdict shows in the engine's fields.
    Q_INVOKABLE void ensureLlamaCPPReady();
    // The checks above, once per run: at start-up when replies are made
    // here, else when the user first switches to a mode that makes them here.
    void startLocalEngineChecks();
    // Try Again on the setup screen: forgets the shown error at once (the
    // screen returns to verifying), then runs the checks again.
    Q_INVOKABLE void retryLlamaCPPSetup();
    // Runs the installer unless one runs already.
    void installLlamaCPP();
    void handleInstallResult(bool success, const std::optional<QString> &message);
    void setInstaller(Installer installer) { m_installer = std::move(installer); }

    // The model library (main thread).
    // Adds a record: selects it when it is downloaded and nothing is
    // selected, and reads its chat template in the background.
    void addModel(const AIModel &model);
    // Selects a downloaded model and has the engine load it; a model that is
    // still downloading is ignored.
    void selectModel(const AIModel &model);
    Q_INVOKABLE void selectModelById(const QString &id);
    // Stops the model's download, unloads it, removes its files and record.
    void deleteModel(const AIModel &model);
    Q_INVOKABLE void deleteModelById(const QString &id);
    void deleteModelFiles(const AIModel &model);
    std::optional<AIModel> modelById(const QUuid &id) const;
    // Copies a model file into the models folder off the main thread, then
    // adds its record; done gets nullopt or the error text, on the main
    // thread.
    void importModelFile(const QString &source, const QString &destination,
                         std::function<void(const std::optional<QString> &error)> done);

    // Downloads (main thread).
    void applyDownloadProgress(const QUuid &id, double progress, qint64 downloadedBytes, qint64 totalBytes,
                               double speed);
    void markDownloadComplete(const QUuid &id, const QString &filePath);
    // Routes reports of downloads resumed at launch to the two above.
    void installDownloadFallbacks();
    // Downloads a new record's file; failureLog is logged with the error
    // when it fails, and the record is then removed.
    void startModelDownload(const AIModel &model, const char *failureLog);
    ModelDownloadManager *downloadManager() const { return m_downloads; }

    // Conversations (main thread). selectSession prefers the stored copy of
    // a conversation with the same id over the argument.
    Q_INVOKABLE void createNewChat();
    void selectSession(const ChatSession &session);
    Q_INVOKABLE void selectSessionById(const QString &id);
    // Titles the current conversation from its first user message (only
    // while its title is still "New Chat").
    void updateTitleFromFirstMessage(const QString &text);
    // Stops the conversation's reply and removes it, with its file.
    void deleteSession(const ChatSession &session);
    Q_INVOKABLE void deleteSessionById(const QString &id);
    // The conversations whose title contains the text, ignoring letter case
    // as the user's locale does; all of them for an empty text.
    QList<ChatSession> filteredSessions(const QString &searchText) const;

    // The chat turn (main thread).
    // Appends a message to the current conversation and saves it.
    void addMessage(const ChatMessage &message);
    // Asks the engine for a reply in the current conversation.
    void startGeneration(const QString &prompt);
    // The engine's partial output and outcome for conversation sid.
    void appendStreamChunk(const QUuid &sid, const QString &piece);
    void finishGeneration(const QUuid &sid, const ReplyOutcome &outcome);
    // Marks the current conversation as waiting for a reply and decides how
    // to answer: now, after the model is loaded, or with a notice.
    void beginReply(const QString &content);
    // The stop button: stops the current conversation's reply and keeps
    // what had streamed.
    Q_INVOKABLE void stopCurrentReply();
    bool isGenerating(const QUuid &sid) const { return m_sessionTypingState.value(sid, false); }
    Q_INVOKABLE bool isCurrentSessionGenerating() const
    {
        return m_currentSession && isGenerating(m_currentSession->id);
    }

    // Conversation files that could not be read at start-up; they are left
    // on disk and never pruned.
    const QSet<QString> &unreadableSessionFiles() const { return m_unreadableSessionFiles; }

signals:
    void isFirstLaunchChanged();
    void hasDownloadedModelsChanged();
    void currentViewChanged();
    void downloadedModelsChanged();
    void selectedModelChanged();
    void chatMessagesChanged();
    void chatSessionsChanged();
    void currentSessionChanged();
    void sessionStateChanged(const QUuid &sessionId);
    // The message field should take the keyboard focus.
    void messageFieldFocusRequested();
    void systemPromptChanged();
    void appearanceModeChanged();

private:
    enum class Notice { StillDownloading, LoadingFailed };
    void postNotice(const QUuid &sid, Notice notice, const AIModel &model);
    // Appends a message to conversation sid (and to the shown messages when
    // it is the current one) and saves it; false when it no longer exists.
    bool appendToSession(const QUuid &sid, const ChatMessage &message);
    void startGenerationFor(const QUuid &sid, const QString &prompt);
    void clearReplyState(const QUuid &sid);
    void setCurrent(const std::optional<ChatSession> &session);
    void setAsideUnreadableModels(const QByteArray &bytes);
    // Start-up: removes copies into the models folder that were cut short.
    void removeUnfinishedImports();
    bool writeSession(const ChatSession &session);
    // Writes every conversation; true when each one was written.
    bool writeAllSessions();
    // Writes the listed conversations whose file does not hold them; true
    // when none is left.
    bool writeUnsavedSessions();
    // Removes the stray files a full prune would remove.
    void pruneStraySessionFiles();
    void removeLegacySessionsOnceStored(bool allWritten);
    // After a conversation was added (and written) or removed: removes the
    // removed one's file, then does what else a full save would change. Its
    // cost does not grow with the number of conversations.
    void saveSessionListChange(const std::optional<QUuid> &removedId = std::nullopt);

    LlamaCPPManager &m_engine;
    ReplyEngines *m_engines = nullptr; // a child
    bool m_localEngineChecksStarted = false;
    Installer m_installer;
    ModelDownloadManager *m_downloads = nullptr;
    // Background work of the library, on two queues so that a model file
    // copy never waits behind a chat-template read (which may take minutes).
    std::unique_ptr<SerialQueue> m_templateQueue;
    std::unique_ptr<SerialQueue> m_importQueue;
    Preferences m_preferences;
    SessionsStore m_store;

    bool m_isFirstLaunch = true;
    bool m_hasDownloadedModels = false;
    AppView m_currentView = AppView::Welcome;
    QList<AIModel> m_downloadedModels;
    std::optional<AIModel> m_selectedModel;
    QList<ChatMessage> m_chatMessages;
    QList<ChatSession> m_chatSessions;
    std::optional<ChatSession> m_currentSession;
    QHash<QUuid, bool> m_sessionTypingState;
    QHash<QUuid, QUuid> m_sessionStreamingId;
    QHash<QUuid, QString> m_sessionStreamingContent;
    QString m_systemPrompt;
    AppearanceMode m_appearanceMode = AppearanceMode::Dark;
    Date m_lastModelsSaveTime = Date::distantPast();

    QSet<QString> m_unreadableSessionFiles;
    // Listed conversations whose file does not hold them: read from a stray
    // file, or their last write failed.
    QSet<QUuid> m_unsavedSessionIds;
    // Store files named other than for the conversation they hold.
    QHash<QString, QUuid> m_straySessionFiles;
};

#pragma once

#include "core/records.h"
#include "core/sessions_store.h"
#include "platform/preferences.h"

#include <QHash>
#include <QList>
#include <QObject>
#include <QSet>
#include <QString>
#include <QUrl>
#include <QUuid>

#include <functional>
#include <memory>
#include <optional>

#include "engine/llama_cpp_manager.h"

class ModelDownloadManager;

// How one change moved the rows of a conversation's messages, applied in
// this order: `removedCount` rows at `removedFirst` of the old list went,
// `insertedCount` rows at `insertedFirst` of the new list came, and the rows
// `changed` (indexes of the new list) hold other data.
struct MessagesChange {
    int removedFirst = 0;
    int removedCount = 0;
    int insertedFirst = 0;
    int insertedCount = 0;
    QList<int> changed;

    static MessagesChange inserted(int first, int count = 1) { return {0, 0, first, count, {}}; }
    static MessagesChange removed(int first, int count = 1) { return {first, count, 0, 0, {}}; }
    static MessagesChange changedRow(int row) { return {0, 0, 0, 0, {row}}; }
};
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
    Q_PROPERTY(bool canRegenerate READ canRegenerate NOTIFY canRegenerateChanged)
    Q_PROPERTY(QString currentSessionKey READ currentSessionKey NOTIFY currentSessionChanged)
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
    // The current conversation's messages (copies that share their data).
    QList<ChatMessage> chatMessages() const;
    const QList<ChatSession> &chatSessions() const { return m_chatSessions; }
    int chatSessionCount() const { return int(m_chatSessions.size()); }
    std::optional<ChatSession> currentSession() const;
    QUuid currentSessionId() const { return m_currentId; }
    // Its id as text, empty without one.
    QString currentSessionKey() const { return m_currentId.isNull() ? QString() : canonicalUuid(m_currentId); }
    QString currentSessionTitle() const;
    const QHash<QUuid, bool> &sessionTypingState() const { return m_sessionTypingState; }
    const QHash<QUuid, QUuid> &sessionStreamingId() const { return m_sessionStreamingId; }
    const QHash<QUuid, QString> &sessionStreamingContent() const { return m_sessionStreamingContent; }
    // The reply a conversation's running request answers anew, by message id.
    const QHash<QUuid, QUuid> &sessionRegeneratingId() const { return m_sessionRegeneratingId; }
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
    // Stores the prompt the application starts with.
    Q_INVOKABLE void resetSystemPrompt();
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
    // while its title is still "New Chat" and was not chosen by the user).
    void updateTitleFromFirstMessage(const QString &text);
    // Gives a conversation the title the user chose; a blank title is
    // refused (false).
    Q_INVOKABLE bool renameSession(const QString &id, const QString &title);
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
    // to answer: now, after the model is loaded, or with a notice. The
    // transcript holds history when given, else the whole conversation; the
    // reply becomes a new version of message `replacing` when given.
    void beginReply(const QString &content, const std::optional<QList<ChatMessage>> &history = std::nullopt,
                    const QUuid &replacing = {});
    // The stop button: stops the current conversation's reply and keeps
    // what had streamed.
    Q_INVOKABLE void stopCurrentReply();
    bool isGenerating(const QUuid &sid) const { return m_sessionTypingState.value(sid, false); }

    // Actions on the messages of the current conversation (main thread);
    // each refuses (false) while that conversation waits for a reply.
    // The last reply can be asked for again: the last message follows a
    // user's message and is not the user's own.
    bool canRegenerate() const;
    // Asks again for the reply to the last user message; the answers it had
    // are kept as versions of the same reply, and stop marks, notices and
    // errors after it go.
    Q_INVOKABLE bool regenerateLastReply();
    // Replaces a user's message (its attachments stay), removes what
    // followed it and asks for a new reply.
    Q_INVOKABLE bool editMessage(const QString &messageId, const QString &text);
    Q_INVOKABLE bool deleteMessage(const QString &messageId);
    // Shows another of a reply's versions; the shown one is what later
    // transcripts hold.
    Q_INVOKABLE bool showReplyVersion(const QString &messageId, int index);
    Q_INVOKABLE bool isCurrentSessionGenerating() const { return !m_currentId.isNull() && isGenerating(m_currentId); }

    // Writing conversations out and reading them in (main thread). Each
    // answers with what the user is told; empty when all went as asked.
    // A file whose name ends in ".json" gets the stored record itself, any
    // other file the Markdown text.
    Q_INVOKABLE QString exportSession(const QString &id, const QUrl &file);
    // Where the file chooser proposes to write a conversation: its title as
    // a Markdown file in the documents folder.
    Q_INVOKABLE QUrl suggestedExportFile(const QString &id) const;
    // Every conversation as "<title>.json" and "<title>.md" into the folder.
    Q_INVOKABLE QString exportAllSessions(const QUrl &folder);
    // A JSON export becomes a new conversation, shown at once (with a new id
    // when its own is taken); nothing that exists changes.
    Q_INVOKABLE QString importSessionFile(const QUrl &file);

    // Conversation files that could not be read at start-up; they are left
    // on disk and never pruned.
    const QSet<QString> &unreadableSessionFiles() const { return m_unreadableSessionFiles; }

signals:
    void isFirstLaunchChanged();
    void hasDownloadedModelsChanged();
    void currentViewChanged();
    void downloadedModelsChanged();
    void selectedModelChanged();
    // The messages of conversation sid changed as change tells; sent once
    // per change, after it was saved.
    void messagesChanged(const QUuid &sid, const MessagesChange &change);
    void chatSessionsChanged();
    void currentSessionChanged();
    void canRegenerateChanged();
    void sessionStateChanged(const QUuid &sessionId);
    // The message field should take the keyboard focus.
    void messageFieldFocusRequested();
    void systemPromptChanged();
    void appearanceModeChanged();

private:
    enum class Notice { StillDownloading, LoadingFailed };
    void postNotice(const QUuid &sid, Notice notice, const AIModel &model);
    // The one path of every change of a conversation's messages: edit
    // changes the listed conversation sid (or the unlisted current one) and
    // returns how its rows moved; the conversation is then saved (a listed
    // one) and the change announced. False when there is no such
    // conversation or edit changed nothing (nullopt).
    bool changeSession(const QUuid &sid, const std::function<std::optional<MessagesChange>(ChatSession &)> &edit);
    // Appends a message to conversation sid; false when it no longer exists.
    bool appendToSession(const QUuid &sid, const ChatMessage &message);
    // A finished or stopped run's text: a new version of the reply being
    // asked for again, or a new reply.
    void landReply(const QUuid &sid, const ChatMessage &reply);
    ChatSession *listedSession(const QUuid &sid);
    // The current conversation when it can take an action: listed, idle.
    ChatSession *idleCurrentSession();
    void startGenerationFor(const QUuid &sid, const QString &prompt,
                            std::optional<QList<ChatMessage>> history = std::nullopt);
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
    QList<ChatSession> m_chatSessions;
    // The current conversation: a listed one by id, or one shown as given.
    QUuid m_currentId;
    std::optional<ChatSession> m_unlistedCurrent;
    QHash<QUuid, bool> m_sessionTypingState;
    QHash<QUuid, QUuid> m_sessionStreamingId;
    QHash<QUuid, QString> m_sessionStreamingContent;
    QHash<QUuid, QUuid> m_sessionRegeneratingId;
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

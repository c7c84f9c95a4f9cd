#pragma once

#include "core/records.h"
#include "engine/reply_backend.h"
#include "platform/process_handle.h"
#include "platform/serial_queue.h"

#include <QHash>
#include <QObject>
#include <QSet>
#include <QString>
#include <QUuid>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

struct AttachedFile;
struct ChatMessage;

// Time limits of generation runs and stops. The application uses the
// defaults; tests shorten them.
struct EngineTimings {
    std::chrono::milliseconds silenceLimit{60000}; // a run silent this long is ended
    std::chrono::milliseconds watchdogPoll{2000};  // how often silence is checked
    std::chrono::milliseconds killGrace{3000};     // SIGTERM to SIGKILL, for silent runs and stops
    std::chrono::milliseconds verificationLimit{120000}; // a --version run that takes longer fails
    std::chrono::milliseconds warmUpLimit{180000};       // the first run after installing
    std::chrono::milliseconds templateLimit{120000};     // a chat-template reading run is ended after this
};

// How every installer and the verification end: success, or failure with
// the reason the user sees. Always called on the main thread.
using InstallCompletion = std::function<void(bool success, const std::optional<QString> &message)>;

// The inference engine. It links no inference library: a reply backend
// (reply_backend.h; by default one llama-completion child process per reply)
// makes each reply, one at a time on the engine's serial process queue. This
// object holds which model is selected, where the program is, the running
// replies per conversation, and the installation state that the screens show.
//
// Published fields are written on the main thread only.
class LlamaCPPManager : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool isModelLoaded READ isModelLoaded NOTIFY isModelLoadedChanged)
    Q_PROPERTY(QString currentModelName READ currentModelName NOTIFY currentModelChanged)
    Q_PROPERTY(QString currentModelId READ currentModelId NOTIFY currentModelChanged)
    Q_PROPERTY(double loadingProgress READ loadingProgress NOTIFY loadingProgressChanged)
    Q_PROPERTY(QString errorMessage READ errorMessageText NOTIFY errorMessageChanged)
    Q_PROPERTY(bool isInstallingLlamaCPP READ isInstallingLlamaCPP NOTIFY isInstallingLlamaCPPChanged)
    Q_PROPERTY(double llamaCPPInstallProgress READ llamaCPPInstallProgress NOTIFY llamaCPPInstallProgressChanged)
    Q_PROPERTY(QString llamaCPPInstallStatus READ llamaCPPInstallStatus NOTIFY llamaCPPInstallStatusChanged)
    Q_PROPERTY(bool isLlamaCPPVerified READ isLlamaCPPVerified NOTIFY isLlamaCPPVerifiedChanged)
    Q_PROPERTY(QString llamaCPPSetupError READ llamaCPPSetupErrorText NOTIFY llamaCPPSetupErrorChanged)
    Q_PROPERTY(QString llamaCPPVersion READ llamaCPPVersion NOTIFY llamaCPPVersionChanged)

public:
    static constexpr int defaultContextLength = SamplingValues{}.contextLength;
    static constexpr int defaultMaxTokens = SamplingValues{}.maxTokens;
    static constexpr float defaultTemperature = SamplingValues{}.temperature;
    static constexpr float defaultTopP = SamplingValues{}.topP;
    static constexpr int defaultTopK = SamplingValues{}.topK;
    static constexpr float defaultRepeatPenalty = SamplingValues{}.repeatPenalty;
    static constexpr int defaultRepeatLastN = SamplingValues{}.repeatLastN;

    static constexpr const char *kProcessQueueLabel = "com.quorvane.llamaProcess";

    // The one engine of the application, created on first use (after the
    // application object) and kept until the process ends.
    static LlamaCPPManager &shared();

    // Tests build engines of their own; the application uses shared().
    explicit LlamaCPPManager(QObject *parent = nullptr, EngineTimings timings = {});
    ~LlamaCPPManager() override;

    // Model selection. Callable from any thread: on the main thread the
    // fields change before the call returns, elsewhere the change is posted.
    void loadModel(const AIModel &model);
    void unloadModel();

    // Asks for a reply to prompt in the given conversation. Refusals (no
    // model, a reply of this conversation still running, a blank prompt)
    // and every outcome of the run reach onComplete exactly once, later, on
    // the main thread; onPartial gets each newly decoded piece of output.
    // The reply is made by the backend in use when its turn comes, with the
    // time to its first piece among the outcome's figures. Called on the
    // main thread; reads the newest user message's attachments before it
    // returns.
    void generateResponse(const QString &prompt, const QUuid &sessionId, const QList<ChatMessage> &messages,
                          std::function<void(const QString &)> onPartial,
                          std::function<void(const ReplyOutcome &)> onComplete);

    // The way replies are made from now on, for each request whose turn
    // comes afterwards; nullptr goes back to the default, one llama-completion
    // process per reply. Callable from any thread.
    void setReplyBackend(std::shared_ptr<ReplyBackend> backend);
    std::shared_ptr<ReplyBackend> replyBackend() const;

    // Stops every request of one conversation made so far, wherever it is:
    // one still waiting is not launched, one running gets SIGTERM (SIGKILL 3
    // seconds later if it still runs); each still answers its onComplete.
    // A request made afterwards is not affected. Without an id: every
    // request made so far, and the most recent process is signalled.
    void stopGeneration(const std::optional<QUuid> &sessionId);

    // The text of one attached file for the prompt (by default the real
    // extraction; tests may put something else in).
    using AttachmentTextFunction = std::function<QString(const AttachedFile &)>;
    void setAttachmentTextFunction(AttachmentTextFunction f) { m_attachmentText = std::move(f); }

    const EngineTimings &timings() const { return m_timings; }

    // Runs the installed program with --version on the process queue and
    // judges it. The completion gets the verdict on the main thread; before
    // it, llamaCPPVersion becomes the version line of a program that passed
    // (empty after a failure).
    void verifyLlamaCPPInstallation(InstallCompletion completion);
    // The first run after installing, which may be slow; blocks the calling
    // (installer) thread. Failures are only logged.
    void warmUpBinary(const QString &path);

    // The chat template stored in a model file, read from what llama-completion
    // prints while it loads the model (nothing is generated). Answers are kept
    // per path for the life of the engine, "no template" included, except
    // when the program is not installed, so a call after installing runs it.
    // Blocks until the answer is known: at once when it is kept, otherwise up
    // to templateLimit plus some 10 seconds. Never call it on the main thread.
    std::optional<QString> prewarmChatTemplate(const QString &modelPath);

    // Path of the llama-completion executable, or nullopt. Only existence is
    // checked, not the execute permission.
    std::optional<QString> findLlamaCompletion() const;
    // The program is present and has at least one execute bit.
    bool isLlamaCPPInstalled() const;

    // Processes per conversation. A run registers its process as it launches
    // it and unregisters it when the process has exited.
    // Both return the number of registered processes afterwards.
    int registerProcess(const QUuid &sessionId, std::shared_ptr<ProcessHandle> process);
    int unregisterProcess(const QUuid &sessionId, const ProcessHandle *process);
    bool hasProcess(const QUuid &sessionId) const;

    // Requests are numbered from 1 in the order they are made, and the
    // process queue runs them in that order.
    bool isRequestStopped(const QUuid &sessionId, quint64 request) const;
    // A request's run has ended: whether it was stopped. Stops that concern
    // no later request are forgotten.
    bool endRequest(const QUuid &sessionId, quint64 request);
    // Registers the request's process and launches it with launch(), both
    // under the lock that stopGeneration takes: a stop that comes first
    // keeps the request from launching at all, one that comes later finds
    // the process running. Only Started leaves the process registered;
    // activeCount gets the number of registered processes with it.
    using Launch = ReplyControl::Launch;
    Launch registerAndLaunch(const QUuid &sessionId, quint64 request, const std::shared_ptr<ProcessHandle> &process,
                             const std::function<bool()> &launch, int *activeCount);

    // Sends SIGTERM to every running process and forgets them all.
    void stopAllSessions();

    // The application is quitting: stop every process, remove the staged
    // prompts, and start no further run.
    void applicationWillTerminate();
    bool isTerminating() const { return m_terminating.load(); }

    // Staged prompt files of running requests, removed at quit if their run
    // could not remove them itself. Return false once quitting has begun.
    bool noteStagedPrompt(const QString &path);
    void forgetStagedPrompt(const QString &path);

    SerialQueue &processQueue() { return *m_processQueue; }

    // Published fields.
    bool isModelLoaded() const { return m_isModelLoaded; }
    const std::optional<AIModel> &currentModel() const { return m_currentModel; }
    QString currentModelName() const { return m_currentModel ? m_currentModel->name : QString(); }
    QString currentModelId() const { return m_currentModel ? canonicalUuid(m_currentModel->id) : QString(); }
    double loadingProgress() const { return m_loadingProgress; }
    const std::optional<QString> &errorMessage() const { return m_errorMessage; }
    QString errorMessageText() const { return m_errorMessage.value_or(QString()); }
    bool isInstallingLlamaCPP() const { return m_isInstallingLlamaCPP; }
    double llamaCPPInstallProgress() const { return m_llamaCPPInstallProgress; }
    QString llamaCPPInstallStatus() const { return m_llamaCPPInstallStatus; }
    bool isLlamaCPPVerified() const { return m_isLlamaCPPVerified; }
    const std::optional<QString> &llamaCPPSetupError() const { return m_llamaCPPSetupError; }
    QString llamaCPPSetupErrorText() const { return m_llamaCPPSetupError.value_or(QString()); }
    // What the program last verified said about its version (the line naming
    // it), empty until one passed.
    QString llamaCPPVersion() const { return m_llamaCPPVersion; }

    // Installation state, set by start-up and the installers (main thread).
    void setInstallingLlamaCPP(bool value);
    void setLlamaCPPInstallProgress(double value);
    void setLlamaCPPInstallStatus(const QString &value);
    void setLlamaCPPVerified(bool value);
    void setLlamaCPPSetupError(const std::optional<QString> &value);
    void setLlamaCPPVersion(const QString &value);

signals:
    void isModelLoadedChanged();
    void currentModelChanged();
    void loadingProgressChanged();
    void errorMessageChanged();
    void isInstallingLlamaCPPChanged();
    void llamaCPPInstallProgressChanged();
    void llamaCPPInstallStatusChanged();
    void isLlamaCPPVerifiedChanged();
    void llamaCPPSetupErrorChanged();
    void llamaCPPVersionChanged();

private:
    void setErrorMessage(const std::optional<QString> &value);
    bool isStoppedLocked(const QUuid &sessionId, quint64 request) const;
    void applyLoaded(const AIModel &model);
    void applyUnloaded();

    bool m_isModelLoaded = false;
    std::optional<AIModel> m_currentModel;
    double m_loadingProgress = 0.0;
    std::optional<QString> m_errorMessage;
    bool m_isInstallingLlamaCPP = false;
    double m_llamaCPPInstallProgress = 0.0;
    QString m_llamaCPPInstallStatus;
    bool m_isLlamaCPPVerified = false;
    std::optional<QString> m_llamaCPPSetupError;
    QString m_llamaCPPVersion;

    EngineTimings m_timings;
    AttachmentTextFunction m_attachmentText;

    QHash<QString, std::optional<QString>> m_templateCache;
    std::mutex m_templateCacheLock;
    // Chat-template reading runs under way; quitting kills them.
    QSet<ProcessHandle *> m_templateRuns;
    std::mutex m_templateRunsLock;

    std::unique_ptr<SerialQueue> m_processQueue;

    std::shared_ptr<ReplyBackend> m_defaultBackend;
    std::shared_ptr<ReplyBackend> m_backend;
    mutable std::mutex m_backendLock;

    // The processes and the stops, under one lock.
    QHash<QUuid, std::shared_ptr<ProcessHandle>> m_sessionProcesses;
    mutable std::mutex m_sessionLock;
    std::shared_ptr<ProcessHandle> m_currentProcess;
    quint64 m_lastRequest = 0;             // the number of the newest request
    QHash<QUuid, quint64> m_stoppedUpTo;   // a conversation's requests up to this number are stopped
    quint64 m_allStoppedUpTo = 0;          // every request up to this number is stopped

    QMetaObject::Connection m_quitConnection;
    std::atomic<bool> m_terminating{false};
    std::mutex m_stagedLock;
    QSet<QString> m_stagedPrompts;
};

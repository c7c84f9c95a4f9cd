#pragma once

#include "engine/llama_cpp_manager.h"
#include "provisioning/install_progress.h"

#include <QJsonArray>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>

class BlockingHttp;
class ChildProcess;

// The release archive chosen from the release list.
struct ChosenAsset {
    QString name;
    QString tag;
    QUrl url;
};

// The first release (newest first) whose assets hold one ending in suffix.
// A release whose first matching asset has no usable address is passed over.
std::optional<ChosenAsset> chooseAsset(const QJsonArray &releases, const QString &suffix);

// Puts a working llama-completion into the data folder: a prebuilt release
// archive first, and when that fails a build from the llama.cpp sources
// (with a CMake of our own when the machine has none). Every step runs on the
// engine's process queue and reports progress and status through the
// engine's published installation fields; the caller's completion is called
// once, on the main thread.
class LlamaInstaller : public QObject {
    Q_OBJECT
public:
    static constexpr const char *kCMakeVersion = "3.27.7";

    explicit LlamaInstaller(LlamaCPPManager &engine, QObject *parent = nullptr);
    ~LlamaInstaller() override;

    // Where releases are listed, and where sources and CMake come from. The
    // application uses the real services; tests point these at a server on
    // 127.0.0.1 or at a file:// folder.
    QString apiHost() const { return m_apiHost; }
    void setApiHost(const QString &host) { m_apiHost = host; }
    QString sourceHost() const { return m_sourceHost; }
    void setSourceHost(const QString &host) { m_sourceHost = host; }

    // Where CMake is looked for before it is installed locally: these paths
    // in order, then what `which cmake` prints. Tests replace both.
    QStringList cmakeCandidates() const { return m_cmakeCandidates; }
    void setCMakeCandidates(const QStringList &paths) { m_cmakeCandidates = paths; }
    void setWhichProgram(const QString &path) { m_whichProgram = path; }
    // The clock of the clone and build watchers.
    void setClock(install_progress::Clock clock) { m_clock = std::move(clock); }

    // The release asset for this machine ("ubuntu-x64.tar.gz") and the CMake
    // archive ("cmake-3.27.7-linux-x86_64.tar.gz").
    static QString assetSuffix();
    static QString cmakeArchiveName();

    // Installs the newest release archive that has an asset for this
    // machine; on any failure the source build takes over with the same
    // completion. Returns at once.
    void installPrebuiltLlamaCPP(InstallCompletion completion);
    // Clones, configures and builds llama.cpp. Returns at once.
    void buildLlamaCPPFromSource(InstallCompletion completion);
    // Makes sure a CMake lives in baseFolder + "/cmake"; returns its
    // executable, or nullopt. Blocks; never call it on the main thread.
    std::optional<QString> installCMakeLocally(const QString &baseFolder);

    // The application quits: the running download or program is stopped and
    // nothing further starts.
    void applicationWillTerminate();

private:
    // Counts the steps running on the process queue, which use this object;
    // once closed no step starts, and the destructor waits for those running.
    struct JobGate {
        std::mutex lock;
        std::condition_variable idle;
        int running = 0;
        bool closed = false;
        bool enter();
        void leave();
    };

    // The last step of a successful install, on the main thread.
    static void reportInstalled(LlamaCPPManager &engine, const char *logLine, const InstallCompletion &completion);
    // Main-thread writes of the engine's published fields.
    void publish(std::optional<double> progress, std::optional<QString> status);
    void raiseProgress(double progress);

    // Each returns the failure message, or nullopt when the step succeeded.
    std::optional<QString> runPrebuiltSteps();
    std::optional<QString> runSourceBuildSteps();
    std::optional<QString> findCMake();

    // Runs a program to its end on the calling thread; quitting stops it.
    // Output chunks go to onOutput as they arrive (standard error merged in).
    struct RunResult {
        bool started = false;
        QString error;
        int status = -1;
        QByteArray output;
    };
    RunResult runProgram(const QString &program, const QStringList &arguments, const QString &directory,
                         const std::function<void(const QByteArray &)> &onOutput = {},
                         const std::function<void()> &everyHalfSecond = {}, bool ownGroup = false);

    LlamaCPPManager &m_engine;
    QString m_apiHost = QStringLiteral("https://api.github.com");
    QString m_sourceHost = QStringLiteral("https://github.com");
    QStringList m_cmakeCandidates;
    QString m_whichProgram = QStringLiteral("/usr/bin/which");
    install_progress::Clock m_clock;

    std::unique_ptr<BlockingHttp> m_http;
    std::shared_ptr<JobGate> m_gate = std::make_shared<JobGate>();
    std::atomic<bool> m_terminating{false};
    std::mutex m_childLock;
    ChildProcess *m_runningChild = nullptr;
    QMetaObject::Connection m_quitConnection;
};

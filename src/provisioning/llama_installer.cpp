// The installer's shared machinery and the prebuilt release install.
#include "provisioning/llama_installer.h"

#include "platform/child_process.h"
#include "platform/logging.h"
#include "platform/main_thread.h"
#include "platform/paths.h"
#include "provisioning/blocking_http.h"
#include "provisioning/install_paths.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPointer>
#include <QStringDecoder>
#include <QTemporaryDir>

#include <filesystem>

namespace {

constexpr qint64 kSmallestPlausibleArchive = 1000000;
constexpr int kQueryTimeoutMs = 20000;
constexpr int kDownloadSilenceMs = 60000;

} // namespace

std::optional<ChosenAsset> chooseAsset(const QJsonArray &releases, const QString &suffix)
{
    for (const QJsonValue &releaseValue : releases) {
        const QJsonObject release = releaseValue.toObject();
        const QJsonValue assets = release.value(QLatin1String("assets"));
        if (!assets.isArray())
            continue;
        for (const QJsonValue &assetValue : assets.toArray()) {
            const QJsonObject asset = assetValue.toObject();
            const QJsonValue name = asset.value(QLatin1String("name"));
            if (!name.isString() || !name.toString().endsWith(suffix))
                continue;
            const QJsonValue address = asset.value(QLatin1String("browser_download_url"));
            const QUrl url(address.toString(), QUrl::StrictMode);
            if (!address.isString() || !url.isValid() || url.scheme().isEmpty())
                break;
            const QJsonValue tag = release.value(QLatin1String("tag_name"));
            return ChosenAsset{name.toString(), tag.isString() ? tag.toString() : QStringLiteral("unknown"), url};
        }
    }
    return std::nullopt;
}

LlamaInstaller::LlamaInstaller(LlamaCPPManager &engine, QObject *parent)
    : QObject(parent), m_engine(engine), m_http(std::make_unique<BlockingHttp>())
{
    const QString home = paths::homeDirectory();
    m_cmakeCandidates = {QStringLiteral("/usr/local/bin/cmake"), QStringLiteral("/opt/homebrew/bin/cmake"),
                         QStringLiteral("/usr/bin/cmake"), home + QStringLiteral("/.local/bin/cmake"),
                         QStringLiteral("/Applications/CMake.app/Contents/bin/cmake")};
    if (auto *app = QCoreApplication::instance())
        m_quitConnection = connect(app, &QCoreApplication::aboutToQuit, this,
                                   &LlamaInstaller::applicationWillTerminate, Qt::DirectConnection);
}

LlamaInstaller::~LlamaInstaller()
{
    disconnect(m_quitConnection);
    applicationWillTerminate();
    // Steps on the process queue use this object: wait until the running
    // one has noticed the stop.
    std::unique_lock lock(m_gate->lock);
    m_gate->idle.wait(lock, [this] { return m_gate->running == 0; });
}

QString LlamaInstaller::assetSuffix()
{
#if defined(Q_OS_MACOS)
#if defined(Q_PROCESSOR_ARM)
    return QStringLiteral("macos-arm64.tar.gz");
#else
    return QStringLiteral("macos-x64.tar.gz");
#endif
#elif defined(Q_PROCESSOR_ARM)
    return QStringLiteral("ubuntu-arm64.tar.gz");
#else
    return QStringLiteral("ubuntu-x64.tar.gz");
#endif
}

QString LlamaInstaller::cmakeArchiveName()
{
#if defined(Q_OS_MACOS)
    const QLatin1String platform("macos-universal");
#elif defined(Q_PROCESSOR_ARM)
    const QLatin1String platform("linux-aarch64");
#else
    const QLatin1String platform("linux-x86_64");
#endif
    return QStringLiteral("cmake-%1-%2.tar.gz").arg(QLatin1String(kCMakeVersion), platform);
}

void LlamaInstaller::applicationWillTerminate()
{
    {
        std::lock_guard lock(m_gate->lock);
        m_gate->closed = true;
    }
    m_terminating = true;
    m_http->abortAll();
    std::lock_guard lock(m_childLock);
    if (m_runningChild)
        m_runningChild->terminate();
}

bool LlamaInstaller::JobGate::enter()
{
    std::lock_guard guard(lock);
    if (closed)
        return false;
    ++running;
    return true;
}

void LlamaInstaller::JobGate::leave()
{
    std::lock_guard guard(lock);
    --running;
    idle.notify_all();
}

void LlamaInstaller::reportInstalled(LlamaCPPManager &engine, const char *logLine, const InstallCompletion &completion)
{
    engine.setLlamaCPPInstallProgress(1.0);
    engine.setLlamaCPPInstallStatus(tr("Installation complete!"));
    engine.setInstallingLlamaCPP(false);
    qCInfo(lcLlamaCPP, "%s", logLine);
    completion(true, std::nullopt);
}

void LlamaInstaller::publish(std::optional<double> progress, std::optional<QString> status)
{
    LlamaCPPManager *engine = &m_engine;
    mainthread::runOrPost(this, [engine, progress, status] {
        if (progress)
            engine->setLlamaCPPInstallProgress(*progress);
        if (status)
            engine->setLlamaCPPInstallStatus(*status);
    });
}

void LlamaInstaller::raiseProgress(double progress)
{
    LlamaCPPManager *engine = &m_engine;
    mainthread::runOrPost(this, [engine, progress] {
        if (progress > engine->llamaCPPInstallProgress())
            engine->setLlamaCPPInstallProgress(progress);
    });
}

LlamaInstaller::RunResult LlamaInstaller::runProgram(const QString &program, const QStringList &arguments,
                                                     const QString &directory,
                                                     const std::function<void(const QByteArray &)> &onOutput,
                                                     const std::function<void()> &everyHalfSecond, bool ownGroup)
{
    constexpr qsizetype kKeptOutput = 64 * 1024;
    RunResult result;
    ChildProcess process(program, arguments);
    process.setWorkingDirectory(directory);
    process.setStandardError(ChildProcess::StreamMode::Merged);
    process.setOwnProcessGroup(ownGroup);
    // One lock for the output callback (reader thread) and the rounds
    // (this thread), so that a watcher sees one call at a time.
    std::mutex watcherLock;
    process.setOutputCallback(ChildProcess::Channel::StandardOutput, [&](const QByteArray &chunk) {
        std::lock_guard lock(watcherLock);
        result.output += chunk;
        if (result.output.size() > 2 * kKeptOutput)
            result.output = result.output.right(kKeptOutput);
        if (onOutput && !chunk.isEmpty())
            onOutput(chunk);
    });
    {
        std::lock_guard lock(m_childLock);
        if (m_terminating) {
            result.error = tr("the application is quitting");
            return result;
        }
        if (!process.start()) {
            result.error = process.errorString();
            return result;
        }
        m_runningChild = &process;
    }
    result.started = true;
    while (!process.waitForExit(500)) {
        if (everyHalfSecond) {
            std::lock_guard lock(watcherLock);
            everyHalfSecond();
        }
    }
    // A child of the program may still hold the pipe open.
    process.waitForReadEnd(5000);
    process.stopReading();
    {
        std::lock_guard lock(m_childLock);
        m_runningChild = nullptr;
    }
    result.status = process.exitReason() == ChildProcess::ExitReason::Exit ? process.exitStatus() : -1;
    if (result.output.size() > kKeptOutput)
        result.output = result.output.right(kKeptOutput);
    return result;
}

void LlamaInstaller::installPrebuiltLlamaCPP(InstallCompletion completion)
{
    QPointer<LlamaInstaller> self(this);
    // The caller hears of the prebuilt install only when it succeeds;
    // otherwise the source build's result is the answer.
    InstallCompletion wrapped = [self, completion](bool success, const std::optional<QString> &message) {
        if (success) {
            completion(true, std::nullopt);
            return;
        }
        qCInfo(lcLlamaCPP, "Prebuilt install failed (%s) — falling back to source build",
               qPrintable(message.value_or(QStringLiteral("unknown"))));
        if (self && !self->m_terminating)
            self->buildLlamaCPPFromSource(completion);
        else
            completion(false, message);
    };

    LlamaCPPManager *engine = &m_engine;
    mainthread::runOrPost(this, [engine] {
        engine->setInstallingLlamaCPP(true);
        engine->setLlamaCPPInstallProgress(0.0);
        engine->setLlamaCPPInstallStatus(tr("Checking for prebuilt release..."));
    });

    m_engine.processQueue().async([this, gate = m_gate, self, engine, wrapped] {
        if (!gate->enter()) {
            mainthread::post(engine, [engine, wrapped] {
                engine->setInstallingLlamaCPP(false);
                wrapped(false, tr("Installation failed"));
            });
            return;
        }
        const std::optional<QString> failure = runPrebuiltSteps();
        if (failure) {
            mainthread::post(this, [engine, wrapped, message = *failure] {
                engine->setInstallingLlamaCPP(false);
                engine->setLlamaCPPInstallProgress(0.0);
                QFile::remove(installpaths::prebuiltArchive());
                wrapped(false, message);
            });
        } else {
            mainthread::post(this, [engine, wrapped] {
                reportInstalled(*engine, "✓ Prebuilt llama.cpp install complete", wrapped);
            });
        }
        gate->leave();
    });
}

std::optional<QString> LlamaInstaller::runPrebuiltSteps()
{
    const QString appSupport = installpaths::appSupportDirectory();
    const QString archive = installpaths::prebuiltArchive();
    const QString binDirectory = installpaths::binDirectory();

    const QUrl url(m_apiHost + QStringLiteral("/repos/ggml-org/llama.cpp/releases?per_page=30"), QUrl::StrictMode);
    if (!url.isValid() || url.scheme().isEmpty())
        return tr("Bad GitHub API URL");
    const BlockingHttp::Response listing =
        m_http->get(url, {{"Accept", "application/vnd.github+json"}, {"User-Agent", "Quorvane"}}, kQueryTimeoutMs);
    if (!listing.answered())
        return tr("Could not query GitHub releases: %1").arg(listing.transportError);
    if (listing.status < 200 || listing.status > 299)
        return tr("GitHub API returned HTTP %1").arg(listing.status);
    const QJsonDocument document = QJsonDocument::fromJson(listing.body);
    const QJsonArray releases = document.array();
    const bool allObjects =
        std::all_of(releases.begin(), releases.end(), [](const QJsonValue &value) { return value.isObject(); });
    if (!document.isArray() || !allObjects)
        return tr("Could not parse GitHub release metadata");

    const QString suffix = assetSuffix();
    const std::optional<ChosenAsset> asset = chooseAsset(releases, suffix);
    if (!asset)
        return tr("No recent llama.cpp release has a %1 asset").arg(suffix);
    qCInfo(lcLlamaCPP, "Prebuilt asset: %s (%s)", qPrintable(asset->name), qPrintable(asset->tag));
    publish(0.05, tr("Downloading requirements..."));
    QDir().mkpath(appSupport);
    QFile::remove(archive);

    // Downloaded beside the archive and renamed when complete, so that a
    // half-written file never stands at the archive's path.
    const QString partial = archive + QStringLiteral(".download");
    const BlockingHttp::Response download = m_http->get(asset->url, {{"User-Agent", "Quorvane"}}, kDownloadSilenceMs, partial);
    const auto failDownload = [&](const QString &message) {
        QFile::remove(partial);
        return message;
    };
    if (!download.answered())
        return failDownload(tr("Download failed: %1").arg(download.transportError));
    if (download.status < 200 || download.status > 299)
        return failDownload(tr("Download returned HTTP %1").arg(download.status));
    if (!download.fileError.isEmpty())
        return failDownload(tr("Could not save tarball: %1").arg(download.fileError));
    std::error_code error;
    std::filesystem::rename(partial.toStdString(), archive.toStdString(), error);
    if (error)
        return failDownload(tr("Could not save tarball: %1").arg(QString::fromStdString(error.message())));
    const qint64 size = QFileInfo(archive).size();
    qCInfo(lcLlamaCPP, "Downloaded %lld bytes", size);
    if (size <= kSmallestPlausibleArchive)
        return tr("Downloaded tarball is suspiciously small (%1 bytes)").arg(size);
    publish(0.7, tr("Extracting..."));

    // Unpacked into a private folder of the data folder first, so that no
    // member lands anywhere but in the one folder that is then moved into place.
    QTemporaryDir staging(appSupport + QStringLiteral("/.llama-unpack-XXXXXX"));
    if (!staging.isValid())
        return tr("Could not create install directory: %1").arg(staging.errorString());
    const QString stagedLlama = staging.path() + QStringLiteral("/llama.cpp");
    const QString stagedBin = stagedLlama + QStringLiteral("/build/bin");
    std::filesystem::create_directories(stagedBin.toStdString(), error);
    if (error)
        return tr("Could not create install directory: %1").arg(QString::fromStdString(error.message()));

    const RunResult tar = runProgram(
        QStringLiteral("/usr/bin/tar"),
        {QStringLiteral("-xzf"), archive, QStringLiteral("-C"), stagedBin, QStringLiteral("--strip-components=1")},
        QString());
    if (!tar.started)
        return tr("Could not run tar: %1").arg(tar.error);
    if (tar.status != 0) {
        const QString text = QStringDecoder(QStringDecoder::Utf8).decode(tar.output);
        return tr("tar extract failed (status %1): %2").arg(QString::number(tar.status), text.left(200));
    }
    QFile::remove(archive);
    // Linux has no signing step; the status still tells where the run is.
    publish(0.9, tr("Signing binaries..."));

    if (!QFileInfo::exists(stagedBin + QStringLiteral("/llama-completion")))
        return tr("Extracted archive did not contain llama-completion");
    // Replaces whatever an earlier install or build left; a link there is
    // removed itself, never what it points to.
    const QString llamaDirectory = installpaths::llamaDirectory();
    std::filesystem::remove_all(llamaDirectory.toStdString(), error);
    std::filesystem::rename(stagedLlama.toStdString(), llamaDirectory.toStdString(), error);
    if (error)
        return tr("Could not create install directory: %1").arg(QString::fromStdString(error.message()));
    const QString program = binDirectory + QStringLiteral("/llama-completion");
    publish(0.95, tr("Finalizing installation..."));
    m_engine.warmUpBinary(program);
    return std::nullopt;
}

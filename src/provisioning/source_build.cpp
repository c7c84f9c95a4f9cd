// Building llama.cpp from its sources: clone, find or install CMake,
// configure, build.
#include "provisioning/llama_installer.h"

#include "platform/logging.h"
#include "platform/main_thread.h"
#include "provisioning/install_paths.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringDecoder>

#include <filesystem>
#include <thread>

#include <unistd.h>

namespace {

// The configure flags of this platform.
QString configureFlags()
{
#if defined(Q_OS_MACOS) && defined(Q_PROCESSOR_ARM)
    return QStringLiteral("-DCMAKE_BUILD_TYPE=Release -DGGML_METAL=ON");
#elif defined(Q_OS_MACOS)
    return QStringLiteral("-DCMAKE_BUILD_TYPE=Release -DGGML_METAL=OFF -DGGML_BLAS=ON -DGGML_BLAS_VENDOR=Apple "
                          "-DGGML_NATIVE=ON");
#else
    return QStringLiteral(
        "-DCMAKE_BUILD_TYPE=Release -DGGML_NATIVE=ON -DLLAMA_BUILD_TESTS=OFF -DLLAMA_BUILD_EXAMPLES=OFF");
#endif
}

// A path as one word for bash, whatever characters it holds.
QString shellQuoted(const QString &path)
{
    QString quoted = path;
    quoted.replace(QLatin1Char('\''), QLatin1String("'\\''"));
    return QLatin1Char('\'') + quoted + QLatin1Char('\'');
}

long onlineProcessors()
{
    const long count = ::sysconf(_SC_NPROCESSORS_ONLN);
    return count > 0 ? count : 1;
}

} // namespace

void LlamaInstaller::buildLlamaCPPFromSource(InstallCompletion completion)
{
    LlamaCPPManager *engine = &m_engine;
    mainthread::runOrPost(this, [this, engine, completion] {
        if (engine->isInstallingLlamaCPP()) {
            completion(false, tr("Installation already in progress"));
            return;
        }
        engine->setInstallingLlamaCPP(true);
        engine->setLlamaCPPInstallProgress(0.0);
        m_engine.processQueue().async([this, gate = m_gate, engine, completion] {
            if (!gate->enter()) {
                mainthread::post(engine, [engine, completion] {
                    engine->setInstallingLlamaCPP(false);
                    completion(false, tr("Installation failed"));
                });
                return;
            }
            const std::optional<QString> failure = runSourceBuildSteps();
            mainthread::post(this, [engine, completion, failure] {
                if (failure) {
                    engine->setInstallingLlamaCPP(false);
                    completion(false, failure);
                    return;
                }
                reportInstalled(*engine, "✓ Installation completed successfully", completion);
            });
            gate->leave();
        });
    });
}

std::optional<QString> LlamaInstaller::runSourceBuildSteps()
{
    using install_progress::OutputWatcher;
    const QString appSupport = installpaths::appSupportDirectory();
    const QString llamaDirectory = installpaths::llamaDirectory();
    const QString buildDirectory = llamaDirectory + QStringLiteral("/build");
    const auto report = [this](double progress) { raiseProgress(progress); };

    publish(0.0, tr("Creating directories..."));
    std::error_code error;
    std::filesystem::create_directories(appSupport.toStdString(), error);
    if (error) {
        qCInfo(lcLlamaCPP, "Failed to create app support directory: %s", error.message().c_str());
        return tr("Failed to create directory");
    }
    publish(0.02, tr("Downloading requirements..."));
    if (QFileInfo::exists(llamaDirectory) || QFileInfo(llamaDirectory).isSymLink()) {
        qCInfo(lcLlamaCPP, "Removing existing llama.cpp directory for clean install...");
        std::filesystem::remove_all(llamaDirectory.toStdString(), error);
        if (error)
            qCInfo(lcLlamaCPP, "Warning: Could not remove existing directory: %s", error.message().c_str());
    }

    qCInfo(lcLlamaCPP, "Starting FULL git clone (this will take 5-7 minutes)...");
    OutputWatcher cloneWatcher("Git:", install_progress::cloneProgressForLine,
                               install_progress::cloneProgressForElapsed, m_clock, report);
    const RunResult clone = runProgram(
        QStringLiteral("/usr/bin/git"),
        {QStringLiteral("clone"), QStringLiteral("--progress"), m_sourceHost + QStringLiteral("/ggml-org/llama.cpp.git"),
         llamaDirectory},
        appSupport, [&](const QByteArray &chunk) { cloneWatcher.feed(chunk); }, [&] { cloneWatcher.tick(); });
    if (!clone.started) {
        qCInfo(lcLlamaCPP, "✗ Error cloning repository: %s", qPrintable(clone.error));
        return tr("Download failed");
    }
    cloneWatcher.finish();
    if (clone.status != 0) {
        qCInfo(lcLlamaCPP, "✗ Git clone failed");
        return tr("Clone failed. Check internet connection.");
    }
    qCInfo(lcLlamaCPP, "✓ Git clone completed successfully!");
    publish(0.94, tr("Preparing build environment..."));

    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    if (!QFileInfo::exists(llamaDirectory + QStringLiteral("/CMakeLists.txt"))
        || !QFileInfo::exists(llamaDirectory + QStringLiteral("/src"))) {
        qCInfo(lcLlamaCPP, "✗ Clone verification failed");
        return tr("Clone incomplete. Please retry.");
    }
    qCInfo(lcLlamaCPP, "✓ Clone verification passed");

    std::optional<QString> cmake = findCMake();
    if (cmake) {
        qCInfo(lcLlamaCPP, "Found CMake at: %s", qPrintable(*cmake));
    } else {
        qCInfo(lcLlamaCPP, "CMake not found. Installing locally...");
        publish(0.945, tr("Installing build tools..."));
        cmake = installCMakeLocally(appSupport);
        if (!cmake)
            return tr("Failed to install CMake. Please install with: sudo apt install cmake");
        qCInfo(lcLlamaCPP, "✓ CMake installed locally");
    }

    publish(0.95, tr("Configuring build..."));
    std::filesystem::create_directories(buildDirectory.toStdString(), error);
    if (error)
        return tr("Failed to create build directory");
    const RunResult configure =
        runProgram(QStringLiteral("/bin/bash"),
                   {QStringLiteral("-c"), shellQuoted(*cmake) + QLatin1Char(' ') + configureFlags() + QStringLiteral(" ..")},
                   buildDirectory, {}, {}, true);
    if (!configure.started)
        return tr("CMake configuration error");
    if (configure.status != 0) {
        const QString tail = QStringDecoder(QStringDecoder::Utf8).decode(configure.output.right(400));
        qCInfo(lcLlamaCPP, "CMake configure failed: %s", qPrintable(tail));
        return tr("CMake configuration failed");
    }

    publish(0.96, tr("Building..."));
    OutputWatcher buildWatcher("Build:", install_progress::buildProgressForLine,
                               install_progress::buildProgressForElapsed, m_clock, report);
    const RunResult build = runProgram(
        QStringLiteral("/bin/bash"),
        {QStringLiteral("-c"),
         shellQuoted(*cmake) + QStringLiteral(" --build . --config Release -j %1").arg(onlineProcessors())},
        buildDirectory, [&](const QByteArray &chunk) { buildWatcher.feed(chunk); }, [&] { buildWatcher.tick(); }, true);
    if (!build.started)
        return tr("Build error");
    buildWatcher.finish();
    if (build.status != 0)
        return tr("Build failed");

    // Older tools look for the interactive program under this name.
    const QString cli = buildDirectory + QStringLiteral("/bin/llama-cli");
    if (QFileInfo::exists(cli)) {
        const QString compatibility = llamaDirectory + QStringLiteral("/main");
        QFile::remove(compatibility);
        if (QFile::copy(cli, compatibility))
            installpaths::makeExecutable(compatibility);
    }

    publish(0.99, tr("Finalizing installation..."));
    const QString program = buildDirectory + QStringLiteral("/bin/llama-completion");
    if (QFileInfo::exists(program))
        m_engine.warmUpBinary(program);
    return std::nullopt;
}

std::optional<QString> LlamaInstaller::findCMake()
{
    for (const QString &candidate : std::as_const(m_cmakeCandidates)) {
        if (QFileInfo(candidate).isFile())
            return candidate;
    }
    const RunResult which = runProgram(m_whichProgram, {QStringLiteral("cmake")}, QString());
    const QString found = QString::fromUtf8(which.output).trimmed();
    if (which.started && which.status == 0 && !found.isEmpty())
        return found;
    return std::nullopt;
}

// A CMake of the application's own, for machines that have none.
#include "provisioning/llama_installer.h"

#include "platform/logging.h"
#include "provisioning/blocking_http.h"
#include "provisioning/install_paths.h"

#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <filesystem>

namespace {

constexpr int kDownloadSilenceMs = 60000;

QString platformName()
{
#if defined(Q_OS_MACOS)
    return QStringLiteral("macOS");
#else
    return QStringLiteral("Linux");
#endif
}

} // namespace

std::optional<QString> LlamaInstaller::installCMakeLocally(const QString &baseFolder)
{
    const QString cmakeFolder = baseFolder + QStringLiteral("/cmake");
    const QString executable = cmakeFolder + QStringLiteral("/bin/cmake");
    const QString archive = baseFolder + QStringLiteral("/cmake.tar.gz");
    QString unpackedName = cmakeArchiveName();
    unpackedName.chop(int(qstrlen(".tar.gz")));

    if (QFileInfo(executable).isFile()) {
        qCInfo(lcLlamaCPP, "CMake already installed locally at: %s", qPrintable(executable));
        return executable;
    }
    qCInfo(lcLlamaCPP, "Downloading CMake for %s (no sudo required)...", qPrintable(platformName()));
    const QUrl url(m_sourceHost + QStringLiteral("/Kitware/CMake/releases/download/v%1/%2")
                                      .arg(QLatin1String(kCMakeVersion), cmakeArchiveName()),
                   QUrl::StrictMode);
    qCInfo(lcLlamaCPP, "Downloading from: %s", qPrintable(url.toString()));
    if (!url.isValid() || url.scheme().isEmpty()) {
        qCInfo(lcLlamaCPP, "Invalid CMake download URL");
        return std::nullopt;
    }

    QFile::remove(archive);
    const QString partial = archive + QStringLiteral(".download");
    const BlockingHttp::Response download = m_http->get(url, {{"User-Agent", "Quorvane"}}, kDownloadSilenceMs, partial);
    bool good = false;
    if (!download.answered()) {
        qCInfo(lcLlamaCPP, "CMake download error: %s", qPrintable(download.transportError));
    } else if (!download.isSuccess()) {
        // An error page saved as the archive would only fail to unpack.
        qCInfo(lcLlamaCPP, "CMake download error: %s",
               qPrintable(download.fileError.isEmpty() ? QStringLiteral("HTTP %1").arg(download.status)
                                                       : download.fileError));
    } else if (!QFile::rename(partial, archive)) {
        qCInfo(lcLlamaCPP, "Error saving CMake: could not move the download to %s", qPrintable(archive));
    } else {
        good = true;
        qCInfo(lcLlamaCPP, "✓ CMake downloaded successfully");
    }
    QFile::remove(partial);
    if (!good) {
        qCInfo(lcLlamaCPP, "CMake download failed");
        return std::nullopt;
    }

    // Unpacked into a private folder of baseFolder, so that whatever else
    // the archive holds never lands beside the folders there; only the one
    // expected folder is moved out of it.
    QTemporaryDir staging(baseFolder + QStringLiteral("/.cmake-unpack-XXXXXX"));
    const QString unpacked = staging.path() + QLatin1Char('/') + unpackedName;
    qCInfo(lcLlamaCPP, "Extracting CMake...");
    RunResult tar;
    tar.error = staging.errorString();
    if (staging.isValid())
        tar = runProgram(QStringLiteral("/usr/bin/tar"),
                         {QStringLiteral("-xzf"), archive, QStringLiteral("-C"), staging.path()}, QString());
    QFile::remove(archive);
    if (!tar.started) {
        qCInfo(lcLlamaCPP, "Error extracting CMake: %s", qPrintable(tar.error));
        return std::nullopt;
    }
    if (tar.status != 0) {
        qCInfo(lcLlamaCPP, "CMake extraction failed");
        return std::nullopt;
    }

    std::error_code error;
    std::filesystem::remove_all(cmakeFolder.toStdString(), error);
    if (!error) {
        const QString bundle = unpacked + QStringLiteral("/CMake.app/Contents");
        const QString source = QFileInfo(bundle).isDir() ? bundle : unpacked;
        std::filesystem::rename(source.toStdString(), cmakeFolder.toStdString(), error);
    }
    if (error) {
        qCInfo(lcLlamaCPP, "Error moving CMake files: %s", error.message().c_str());
        return std::nullopt;
    }

    if (!QFileInfo(executable).isFile()) {
        qCInfo(lcLlamaCPP, "CMake binary not found at expected path: %s", qPrintable(executable));
        return std::nullopt;
    }
    installpaths::makeExecutable(executable);
    qCInfo(lcLlamaCPP, "✓ CMake installed successfully at: %s", qPrintable(executable));
    return executable;
}

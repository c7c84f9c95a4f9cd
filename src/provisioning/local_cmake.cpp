// A CMake of the application's own, for machines that have none.
#include "provisioning/llama_installer.h"

#include "platform/logging.h"
#include "provisioning/blocking_http.h"
#include "provisioning/install_paths.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

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
    const QString unpacked = baseFolder + QLatin1Char('/') + unpackedName;

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

    const auto cleanUp = [&] {
        QFile::remove(archive);
        QDir(unpacked).removeRecursively();
    };
    qCInfo(lcLlamaCPP, "Extracting CMake...");
    const RunResult tar = runProgram(QStringLiteral("/usr/bin/tar"),
                                     {QStringLiteral("-xzf"), archive, QStringLiteral("-C"), baseFolder}, QString());
    if (!tar.started) {
        qCInfo(lcLlamaCPP, "Error extracting CMake: %s", qPrintable(tar.error));
        cleanUp();
        return std::nullopt;
    }
    if (tar.status != 0) {
        qCInfo(lcLlamaCPP, "CMake extraction failed");
        cleanUp();
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
        cleanUp();
        return std::nullopt;
    }
    cleanUp();

    if (!QFileInfo(executable).isFile()) {
        qCInfo(lcLlamaCPP, "CMake binary not found at expected path: %s", qPrintable(executable));
        return std::nullopt;
    }
    installpaths::makeExecutable(executable);
    qCInfo(lcLlamaCPP, "✓ CMake installed successfully at: %s", qPrintable(executable));
    return executable;
}

// The release list of the hosting service and the choice of the archive for
// this machine: the chosen asset is named for the suffix and has an address
// to download from.
#include "provisioning/llama_installer.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QLoggingCategory>

#include <cstdlib>

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    QLoggingCategory::setFilterRules(QStringLiteral("com.quorvane.*=false"));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QJsonDocument document =
        QJsonDocument::fromJson(QByteArray::fromRawData(reinterpret_cast<const char *>(data), qsizetype(size)));
    // As the installer takes it: an array of objects.
    const QJsonArray releases = document.array();
    for (const QJsonValue &release : releases)
        if (!release.isObject())
            return 0;
    for (const QString &suffix : {LlamaInstaller::assetSuffix(), QStringLiteral("macos-arm64.tar.gz")}) {
        const std::optional<ChosenAsset> asset = chooseAsset(releases, suffix);
        if (asset && (!asset->name.endsWith(suffix) || !asset->url.isValid() || asset->url.scheme().isEmpty()))
            std::abort();
    }
    return 0;
}

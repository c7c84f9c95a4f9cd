// The release list of the hosting service and the choice of the archive for
// this machine: the chosen asset is named for the suffix and has an address
// to download from.
#include "fuzz_common.h"
#include "provisioning/llama_installer.h"

#include <QJsonDocument>
#include <QJsonObject>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // As the installer takes it: an array of objects.
    const QJsonArray releases = QJsonDocument::fromJson(inputBytes(data, size)).array();
    for (const QJsonValue &release : releases)
        if (!release.isObject())
            return 0;
    for (const QString &suffix : {LlamaInstaller::assetSuffix(), QStringLiteral("macos-arm64.tar.gz")}) {
        const std::optional<ChosenAsset> asset = chooseAsset(releases, suffix);
        require(!asset || (asset->name.endsWith(suffix) && asset->url.isValid() && !asset->url.scheme().isEmpty()));
    }
    return 0;
}

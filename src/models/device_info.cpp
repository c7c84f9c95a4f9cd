#include "models/device_info.h"

#include <QFile>
#include <QStringView>
#include <QtGlobal>

#include <algorithm>
#include <cstdint>

#if defined(Q_OS_MACOS)
#include <sys/sysctl.h>
#include <sys/types.h>
#elif defined(Q_OS_UNIX)
#include <unistd.h>
#endif

namespace {

constexpr double kBytesToGiB = 1.0 / 1073741824.0; // 2^-30

DeviceInfo queryDevice()
{
    DeviceInfo info;
#if defined(Q_OS_MACOS)
    std::uint64_t memBytes = 0;
    size_t memLength = sizeof(memBytes);
    if (sysctlbyname("hw.memsize", &memBytes, &memLength, nullptr, 0) == 0)
        info.totalRAMGB = static_cast<double>(memBytes) * kBytesToGiB;

    std::int32_t arm64 = 0;
    size_t armLength = sizeof(arm64);
    info.isAppleSilicon = sysctlbyname("hw.optional.arm64", &arm64, &armLength, nullptr, 0) == 0 && arm64 != 0;
    info.chipDescription = info.isAppleSilicon ? QStringLiteral("Apple Silicon") : QStringLiteral("Intel");

    size_t brandLength = 0;
    if (sysctlbyname("machdep.cpu.brand_string", nullptr, &brandLength, nullptr, 0) == 0 && brandLength >= 1) {
        QByteArray buffer(static_cast<qsizetype>(brandLength), '\0');
        if (sysctlbyname("machdep.cpu.brand_string", buffer.data(), &brandLength, nullptr, 0) == 0) {
            const QString brand = QString::fromUtf8(buffer.constData()); // up to the first NUL
            if (!brand.isEmpty())
                info.chipDescription = brand;
        }
    }
#elif defined(Q_OS_UNIX)
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long pageSize = sysconf(_SC_PAGE_SIZE);
    if (pages > 0 && pageSize > 0)
        info.totalRAMGB = static_cast<double>(static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(pageSize))
                          * kBytesToGiB;

    QFile cpuinfo(QStringLiteral("/proc/cpuinfo"));
    // /proc files report size 0, so read to the end rather than by size.
    const QString text = cpuinfo.open(QIODevice::ReadOnly | QIODevice::Text) ? QString::fromUtf8(cpuinfo.readAll())
                                                                               : QString();
    info.chipDescription = chipDescriptionFromCpuinfo(text);
#else
    info.chipDescription = QStringLiteral("Intel");
#endif
    info.inferenceMode = info.isAppleSilicon ? QStringLiteral("GPU + CPU") : QStringLiteral("CPU only");
    return info;
}

} // namespace

const DeviceInfo &DeviceInfo::current()
{
    static const DeviceInfo info = queryDevice();
    return info;
}

QString chipDescriptionFromCpuinfo(const QString &cpuinfoText)
{
    for (QStringView line : QStringView(cpuinfoText).split(u'\n')) {
        const qsizetype colon = line.indexOf(u':');
        if (colon < 0 || line.left(colon).trimmed() != u"model name")
            continue;
        const QString name = line.mid(colon + 1).trimmed().toString();
        return name.isEmpty() ? QStringLiteral("Intel") : name;
    }
    return QStringLiteral("Intel");
}

double parsedSizeGB(const QString &sizeText)
{
    QString number = sizeText;
    number.remove(QStringLiteral(" GB"));
    number = number.trimmed();
    bool ok = false;
    const double value = number.toDouble(&ok);
    return ok ? value : 0.0;
}

ModelPerformanceTier performanceTier(const CuratedModel &model, const DeviceInfo &device)
{
    const double size = parsedSizeGB(model.size);
    // Memory the system and the application keep for themselves, and the
    // shares of the rest that run well and that still run.
    const double usable = device.totalRAMGB - (device.isAppleSilicon ? 2.5 : 3.5);
    if (usable <= 0)
        return size > 0 ? ModelPerformanceTier::Red : ModelPerformanceTier::Green;
    const double low = usable * (device.isAppleSilicon ? 0.6 : 0.5);
    const double high = usable * (device.isAppleSilicon ? 0.95 : 0.8);
    if (size <= low)
        return ModelPerformanceTier::Green;
    if (size <= high)
        return ModelPerformanceTier::Yellow;
    return ModelPerformanceTier::Red;
}

QList<QPair<CuratedModel, ModelPerformanceTier>> ratedCatalog(const DeviceInfo &device)
{
    struct Rated {
        CuratedModel model;
        ModelPerformanceTier tier;
        double sizeGB;
    };
    QList<Rated> rated;
    for (const CuratedModel &model : CuratedCatalog::all())
        rated.append({model, performanceTier(model, device), parsedSizeGB(model.size)});
    std::stable_sort(rated.begin(), rated.end(), [](const Rated &a, const Rated &b) {
        if (a.tier != b.tier)
            return a.tier < b.tier;
        return a.sizeGB < b.sizeGB;
    });

    QList<QPair<CuratedModel, ModelPerformanceTier>> result;
    result.reserve(rated.size());
    for (const Rated &r : rated)
        result.append({r.model, r.tier});
    return result;
}

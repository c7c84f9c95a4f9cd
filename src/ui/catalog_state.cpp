#include "ui/catalog_state.h"

#include "models/curated_catalog.h"

#include <QCoreApplication>
#include <QVariantMap>

#include <algorithm>
#include <array>

namespace {

struct TierLook {
    const char *label;
    const char *icon;
    QColor light;
    QColor dark;
};

const std::array<TierLook, 3> &tierLooks()
{
    static const std::array<TierLook, 3> looks{{
        {QT_TRANSLATE_NOOP("CatalogState", "Runs Great"), "checkmark.circle.fill", QColor(0x1a, 0x7f, 0x37),
         QColor::fromRgbF(0.2f, 0.85f, 0.4f)},
        {QT_TRANSLATE_NOOP("CatalogState", "May Be Slow"), "exclamationmark.triangle.fill", QColor(0x8a, 0x5a, 0x00),
         QColor::fromRgbF(1.0f, 0.78f, 0.0f)},
        {QT_TRANSLATE_NOOP("CatalogState", "Not Recommended"), "xmark.circle.fill", QColor(0xc6, 0x28, 0x28),
         QColor::fromRgbF(1.0f, 0.3f, 0.3f)},
    }};
    return looks;
}

// The look of a tier; out-of-range tiers look like the last one.
const TierLook &tierLook(int tier) { return tierLooks().at(std::size_t(std::clamp(tier, 0, 2))); }

QVariantMap entryMap(const CuratedModel &model, int catalogIndex)
{
    return {{QStringLiteral("name"), model.name},
            {QStringLiteral("description"), model.description},
            {QStringLiteral("size"), model.size},
            {QStringLiteral("parameters"), model.parameters},
            {QStringLiteral("quantization"), model.quantization},
            {QStringLiteral("useCase"), model.useCase},
            {QStringLiteral("catalogIndex"), catalogIndex}};
}

int catalogIndexOf(const CuratedModel &model)
{
    const QList<CuratedModel> &all = CuratedCatalog::all();
    for (int i = 0; i < all.size(); ++i) {
        if (all.at(i).id == model.id)
            return i;
    }
    return -1;
}

} // namespace

CatalogState::CatalogState(QObject *parent)
    : QObject(parent)
    , m_device(DeviceInfo::current())
{
}

QVariantList CatalogState::entries() const
{
    QVariantList out;
    const QList<CuratedModel> &all = CuratedCatalog::all();
    for (int i = 0; i < all.size(); ++i)
        out.append(entryMap(all.at(i), i));
    return out;
}

QVariantList CatalogState::suggested() const
{
    QVariantList out;
    for (const auto &[model, tier] : ratedCatalog(m_device)) {
        QVariantMap map = entryMap(model, catalogIndexOf(model));
        const TierLook &look = tierLook(int(tier));
        map.insert(QStringLiteral("tier"), int(tier));
        map.insert(QStringLiteral("tierLabel"), QCoreApplication::translate("CatalogState", look.label));
        map.insert(QStringLiteral("tierIcon"), QString::fromLatin1(look.icon));
        out.append(map);
    }
    return out;
}

QVariantList CatalogState::tiers()
{
    QVariantList out;
    for (const TierLook &look : tierLooks())
        out.append(QVariantMap{{QStringLiteral("label"), QCoreApplication::translate("CatalogState", look.label)},
                               {QStringLiteral("icon"), QString::fromLatin1(look.icon)}});
    return out;
}

QColor CatalogState::tierColour(int tier, bool light)
{
    const TierLook &look = tierLook(tier);
    return light ? look.light : look.dark;
}

void CatalogState::setDevice(const DeviceInfo &device)
{
    m_device = device;
    emit deviceChanged();
}

#include "ui/catalog_state.h"

#include "models/curated_catalog.h"

#include <QVariantMap>

namespace {

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
        map.insert(QStringLiteral("tier"), int(tier));
        out.append(map);
    }
    return out;
}

void CatalogState::setDevice(const DeviceInfo &device)
{
    m_device = device;
    emit deviceChanged();
}

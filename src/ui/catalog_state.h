#pragma once

#include "models/device_info.h"

#include <QColor>
#include <QObject>
#include <QVariantList>

// The catalog and this machine's profile as the model picker shows them.
// Entries are maps with name, description, size, parameters, quantization,
// useCase and catalogIndex (the index downloadCuratedModelAt takes); the
// suggested list adds tier (0 green, 1 yellow, 2 red), tierLabel and
// tierIcon, best first. tiers lists label and icon of each tier in order.
class CatalogState : public QObject {
    Q_OBJECT
    Q_PROPERTY(QVariantList entries READ entries CONSTANT)
    Q_PROPERTY(QVariantList suggested READ suggested NOTIFY deviceChanged)
    Q_PROPERTY(QString chipDescription READ chipDescription NOTIFY deviceChanged)
    Q_PROPERTY(double totalRAMGB READ totalRAMGB NOTIFY deviceChanged)
    Q_PROPERTY(bool isAppleSilicon READ isAppleSilicon NOTIFY deviceChanged)
    Q_PROPERTY(QVariantList tiers READ tiers CONSTANT)

public:
    explicit CatalogState(QObject *parent = nullptr);

    QVariantList entries() const;
    QVariantList suggested() const;
    QString chipDescription() const { return m_device.chipDescription; }
    double totalRAMGB() const { return m_device.totalRAMGB; }
    bool isAppleSilicon() const { return m_device.isAppleSilicon; }
    static QVariantList tiers();
    // A tier's colour in either appearance, darker in light so that its
    // label reads on white.
    Q_INVOKABLE static QColor tierColour(int tier, bool light);

    // The machine the suggestions are rated for; this one unless changed
    // (screenshots and tests show other machines).
    void setDevice(const DeviceInfo &device);

signals:
    void deviceChanged();

private:
    DeviceInfo m_device;
};

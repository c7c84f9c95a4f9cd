#pragma once

#include "models/curated_catalog.h"

#include <QList>
#include <QPair>
#include <QString>

// What this machine offers for running a model.
struct DeviceInfo {
    double totalRAMGB = 0.0;     // physical memory in GiB (bytes / 2^30)
    bool isAppleSilicon = false;
    QString chipDescription;     // processor brand name, else "Apple Silicon" or "Intel"
    QString inferenceMode;       // "GPU + CPU" on Apple silicon, else "CPU only"

    // Queried once, on first use, and kept for the rest of the run. A failing
    // system query leaves the default for that field.
    static const DeviceInfo &current();
};

// The processor name from the text of /proc/cpuinfo: the value of the first
// "model name" line, trimmed; "Intel" when there is none or it is empty.
QString chipDescriptionFromCpuinfo(const QString &cpuinfoText);

// How comfortably a model runs here; tiers order green < yellow < red.
enum class ModelPerformanceTier { Green = 0, Yellow = 1, Red = 2 };

// Gigabytes in a size text such as "1.6 GB": every " GB" removed, the rest
// trimmed and read as one decimal number; 0 when it is not one ("1.6 MB").
double parsedSizeGB(const QString &sizeText);

// Rates the entry's file size against the memory left for a model on device.
ModelPerformanceTier performanceTier(const CuratedModel &model, const DeviceInfo &device);

// The whole catalog rated for device, best tier first, smaller files first
// within a tier, catalog order among equals.
QList<QPair<CuratedModel, ModelPerformanceTier>> ratedCatalog(const DeviceInfo &device);

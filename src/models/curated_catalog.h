#pragma once

#include <QList>
#include <QString>
#include <QUuid>

// One suggested model the user can download with a click: display texts and a
// direct link to a single GGUF file on the model hosting service.
struct CuratedModel {
    QUuid id;              // fresh each run; never store it
    QString name;
    QString description;
    QString size;          // "<number> GB"
    QString parameters;
    QString url;           // kModelHost + "/" + repository + "/resolve/main/" + file name
    QString quantization;
    QString useCase;
};

namespace CuratedCatalog {

// Host every catalog url starts with.
inline constexpr char kModelHost[] = "https://huggingface.co";

// The suggested models in display order, built on first use (thread-safe)
// and unchanged afterwards.
const QList<CuratedModel> &all();

// The entry's url with kModelHost replaced by host (a trailing "/" on host is
// ignored), so that a download can be pointed at a local server or a file://
// tree laid out like the hosting service. A url not on kModelHost is returned
// as it is.
QString catalogUrl(const CuratedModel &model, const QString &host);

} // namespace CuratedCatalog

#include "ui/models_list_model.h"

#include "core/file_manager_utility.h"
#include "core/records.h"
#include "platform/byte_count.h"

#include <algorithm>

ModelsListModel::ModelsListModel(QObject *parent)
    : KeyedListModel(parent)
{
}

void ModelsListModel::watch(AppState &state)
{
    connect(&state, &AppState::downloadedModelsChanged, this, &ModelsListModel::refresh);
    connect(&state, &AppState::selectedModelChanged, this, &ModelsListModel::refreshSelection);
}

void ModelsListModel::reload()
{
    m_rows = collect();
    m_selectedId = selectedId();
    recountDownloaded();
}

int ModelsListModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(m_rows.size());
}

QVariant ModelsListModel::data(const QModelIndex &index, int role) const
{
    if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid))
        return {};
    const Row &row = m_rows.at(index.row());
    switch (role) {
    case ModelIdRole:
        return canonicalUuid(row.id);
    case Qt::DisplayRole:
    case NameRole:
        return row.name;
    case UrlRole:
        return row.url;
    case IsDownloadedRole:
        return row.isDownloaded;
    case IsSelectedRole:
        return !row.id.isNull() && row.id == m_selectedId;
    case DownloadProgressRole:
        return row.progress;
    case SizeTextRole:
        return row.sizeText;
    case StatusTextRole:
        return row.statusText;
    case SpeedTextRole:
        return row.speedText;
    }
    return {};
}

QHash<int, QByteArray> ModelsListModel::roleNames() const
{
    return {{ModelIdRole, "modelId"},           {NameRole, "name"},
            {UrlRole, "url"},                   {IsDownloadedRole, "isDownloaded"},
            {IsSelectedRole, "isSelected"},     {DownloadProgressRole, "downloadProgress"},
            {SizeTextRole, "sizeText"},         {StatusTextRole, "statusText"},
            {SpeedTextRole, "speedText"}};
}

QString ModelsListModel::statusText(qint64 downloadedBytes, qint64 totalBytes)
{
    if (totalBytes < 1 && downloadedBytes < 1)
        return tr("Starting download...");
    if (totalBytes < 1)
        return tr("%1 downloaded").arg(formatByteCount(downloadedBytes));
    return tr("%1 / %2 downloaded").arg(formatByteCount(downloadedBytes), formatByteCount(totalBytes));
}

QString ModelsListModel::speedText(double megabytesPerSecond)
{
    return megabytesPerSecond > 0 ? tr("%1 MB/s").arg(megabytesPerSecond, 0, 'f', 1) : QString();
}

QList<ModelsListModel::Row> ModelsListModel::collect() const
{
    QList<Row> rows;
    if (!appState())
        return rows;
    for (const AIModel &model : appState()->downloadedModels()) {
        Row row{model.id, model.name, model.url, model.isDownloaded, model.downloadProgress, {}, {}, {}};
        if (model.isDownloaded) {
            row.sizeText = formatByteCount(FileManagerUtility::fileSize(model));
        } else {
            row.sizeText = model.size;
            row.statusText = statusText(model.downloadedBytes, model.totalBytes);
            row.speedText = speedText(model.downloadSpeed);
        }
        rows.append(row);
    }
    return rows;
}

void ModelsListModel::refresh()
{
    syncRows(m_rows, collect(), [](const Row &old, const Row &next) {
        QList<int> roles;
        if (old.name != next.name)
            roles << NameRole << Qt::DisplayRole;
        if (old.url != next.url)
            roles << UrlRole;
        if (old.isDownloaded != next.isDownloaded)
            roles << IsDownloadedRole;
        if (old.progress != next.progress)
            roles << DownloadProgressRole;
        if (old.sizeText != next.sizeText)
            roles << SizeTextRole;
        if (old.statusText != next.statusText)
            roles << StatusTextRole;
        if (old.speedText != next.speedText)
            roles << SpeedTextRole;
        return roles;
    });
    // A selection that changed along with the list (a deleted model).
    refreshSelection();
    recountDownloaded();
}

void ModelsListModel::recountDownloaded()
{
    const int count = int(std::count_if(m_rows.cbegin(), m_rows.cend(), [](const Row &row) { return row.isDownloaded; }));
    if (count == m_downloadedCount)
        return;
    m_downloadedCount = count;
    emit downloadedCountChanged();
}

void ModelsListModel::refreshSelection()
{
    const QUuid previous = m_selectedId;
    m_selectedId = selectedId();
    if (previous == m_selectedId)
        return;
    for (int row = 0; row < m_rows.size(); ++row) {
        if (m_rows.at(row).id == previous || m_rows.at(row).id == m_selectedId) {
            const QModelIndex changed = index(row);
            emit dataChanged(changed, changed, {IsSelectedRole});
        }
    }
}

QUuid ModelsListModel::selectedId() const
{
    return appState() && appState()->selectedModel() ? appState()->selectedModel()->id : QUuid();
}

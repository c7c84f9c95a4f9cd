#pragma once

#include "app/app_state.h"
#include "ui/keyed_list_model.h"

#include <QString>
#include <QUuid>
#include <QtQml/qqmlregistration.h>

// The model library as a list for the screens: every record of the
// application state in list order, with the texts a row shows already
// formatted. Download progress reaches views as data changes of the one
// row, so rows keep their delegates (and their open menus) while it streams.
class ModelsListModel : public KeyedListModel {
    Q_OBJECT
    QML_ELEMENT
    // Rows of models whose file is complete.
    Q_PROPERTY(int downloadedCount READ downloadedCount NOTIFY downloadedCountChanged)

public:
    enum Role {
        ModelIdRole = Qt::UserRole + 1,
        NameRole,
        UrlRole,
        IsDownloadedRole,
        IsSelectedRole,
        DownloadProgressRole,
        // The file's size when downloaded, else the record's size text.
        SizeTextRole,
        // "Starting download...", "<n> downloaded" or "<n> / <total> downloaded".
        StatusTextRole,
        // "%.1f MB/s" while the speed is above 0, else empty.
        SpeedTextRole,
    };
    Q_ENUM(Role)

    explicit ModelsListModel(QObject *parent = nullptr);

    int rowCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QHash<int, QByteArray> roleNames() const override;
    int downloadedCount() const { return m_downloadedCount; }

    static QString statusText(qint64 downloadedBytes, qint64 totalBytes);
    static QString speedText(double megabytesPerSecond);

signals:
    void downloadedCountChanged();

protected:
    void watch(AppState &state) override;
    void reload() override;

private:
    struct Row {
        QUuid id;
        QString name;
        QString url;
        bool isDownloaded = false;
        double progress = 0;
        QString sizeText;
        QString statusText;
        QString speedText;
    };

    QList<Row> collect() const;
    void refresh();
    void refreshSelection();
    QUuid selectedId() const;
    void recountDownloaded();

    QList<Row> m_rows;
    QUuid m_selectedId;
    int m_downloadedCount = 0;
};

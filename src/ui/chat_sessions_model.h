#pragma once

#include "app/app_state.h"
#include "ui/keyed_list_model.h"

#include <QList>
#include <QString>
#include <QUuid>
#include <QtQml/qqmlregistration.h>

// The sidebar's list of conversations: those of the application state whose
// title matches searchText, in their stored order. Changes of the state and
// of the search text reach views as row insertions, removals and data
// changes, so rows that stay keep their delegates.
class ChatSessionsModel : public KeyedListModel {
    Q_OBJECT
    QML_ELEMENT
    Q_PROPERTY(QString searchText READ searchText WRITE setSearchText NOTIFY searchTextChanged)

public:
    enum Role { SessionIdRole = Qt::UserRole + 1, TitleRole, IsSelectedRole };
    Q_ENUM(Role)

    explicit ChatSessionsModel(QObject *parent = nullptr);

    QString searchText() const { return m_searchText; }
    void setSearchText(const QString &text);

    int rowCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QHash<int, QByteArray> roleNames() const override;

signals:
    void searchTextChanged();

protected:
    void watch(AppState &state) override;
    void reload() override;

private:
    struct Row {
        QUuid id;
        QString title;
    };

    QList<Row> collect() const;
    // Brings the rows in line with the state's filtered conversations.
    void refresh();
    // Re-marks the rows of the previous and the new current conversation.
    void refreshSelection();
    QUuid currentId() const;
    int rowOf(const QUuid &id) const;

    QString m_searchText;
    QList<Row> m_rows;
    QUuid m_selectedId;
};

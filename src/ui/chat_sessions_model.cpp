#include "ui/chat_sessions_model.h"

#include "core/records.h"

ChatSessionsModel::ChatSessionsModel(QObject *parent)
    : KeyedListModel(parent)
{
}

void ChatSessionsModel::watch(AppState &state)
{
    connect(&state, &AppState::chatSessionsChanged, this, &ChatSessionsModel::refresh);
    connect(&state, &AppState::currentSessionChanged, this, &ChatSessionsModel::refreshSelection);
}

void ChatSessionsModel::reload()
{
    m_rows = collect();
    m_selectedId = currentId();
}

void ChatSessionsModel::setSearchText(const QString &text)
{
    if (m_searchText == text)
        return;
    m_searchText = text;
    refresh();
    emit searchTextChanged();
}

int ChatSessionsModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(m_rows.size());
}

QVariant ChatSessionsModel::data(const QModelIndex &index, int role) const
{
    if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid))
        return {};
    const Row &row = m_rows.at(index.row());
    switch (role) {
    case SessionIdRole:
        return canonicalUuid(row.id);
    case Qt::DisplayRole:
    case TitleRole:
        return row.title;
    case IsSelectedRole:
        return !row.id.isNull() && row.id == m_selectedId;
    }
    return {};
}

QHash<int, QByteArray> ChatSessionsModel::roleNames() const
{
    return {{SessionIdRole, "sessionId"}, {TitleRole, "title"}, {IsSelectedRole, "isSelected"}};
}

QUuid ChatSessionsModel::currentId() const
{
    return appState() ? appState()->currentSessionId() : QUuid();
}

int ChatSessionsModel::rowOf(const QUuid &id) const
{
    for (int i = 0; i < m_rows.size(); ++i) {
        if (m_rows.at(i).id == id)
            return i;
    }
    return -1;
}

QList<ChatSessionsModel::Row> ChatSessionsModel::collect() const
{
    QList<Row> rows;
    if (const AppState *state = appState()) {
        for (const ChatSession &session : state->filteredSessions(m_searchText))
            rows.append({session.id, session.title});
    }
    return rows;
}

void ChatSessionsModel::refresh()
{
    syncRows(m_rows, collect(), [](const Row &old, const Row &next) {
        return old.title == next.title ? QList<int>() : QList<int>{TitleRole, Qt::DisplayRole};
    });
}

void ChatSessionsModel::refreshSelection()
{
    const QUuid previous = m_selectedId;
    m_selectedId = currentId();
    if (previous == m_selectedId)
        return;
    for (const QUuid &id : {previous, m_selectedId}) {
        const int row = id.isNull() ? -1 : rowOf(id);
        if (row >= 0) {
            const QModelIndex changed = index(row);
            emit dataChanged(changed, changed, {IsSelectedRole});
        }
    }
}

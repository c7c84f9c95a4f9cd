#include "ui/chat_sessions_model.h"

#include "core/records.h"


ChatSessionsModel::ChatSessionsModel(QObject *parent)
    : KeyedListModel(parent)
{
}

void ChatSessionsModel::setAppState(AppState *state)
{
    if (m_state == state)
        return;
    if (m_state)
        disconnect(m_state, nullptr, this, nullptr);
    m_state = state;
    if (m_state) {
        connect(m_state, &AppState::chatSessionsChanged, this, &ChatSessionsModel::refresh);
        connect(m_state, &AppState::currentSessionChanged, this, &ChatSessionsModel::refreshSelection);
    }
    const int before = int(m_rows.size());
    beginResetModel();
    m_rows = collect();
    m_selectedId = currentId();
    endResetModel();
    if (before != int(m_rows.size()))
        emit countChanged();
    emit appStateChanged();
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
    return m_state && m_state->currentSession() ? m_state->currentSession()->id : QUuid();
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
    if (m_state) {
        for (const ChatSession &session : m_state->filteredSessions(m_searchText))
            rows.append({session.id, session.title});
    }
    return rows;
}

void ChatSessionsModel::refresh()
{
    const int before = int(m_rows.size());
    syncRows(m_rows, collect(), [](const Row &old, const Row &next) {
        return old.title == next.title ? QList<int>() : QList<int>{TitleRole, Qt::DisplayRole};
    });
    if (before != int(m_rows.size()))
        emit countChanged();
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

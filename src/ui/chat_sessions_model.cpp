#include "ui/chat_sessions_model.h"

#include "core/records.h"

#include <QSet>

ChatSessionsModel::ChatSessionsModel(QObject *parent)
    : QAbstractListModel(parent)
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
    const QList<Row> next = collect();
    QSet<QUuid> nextIds;
    for (const Row &row : next)
        nextIds.insert(row.id);
    const int before = int(m_rows.size());

    // Rows that are gone, in runs from the end so indexes stay valid.
    for (int i = int(m_rows.size()) - 1; i >= 0;) {
        if (nextIds.contains(m_rows.at(i).id)) {
            --i;
            continue;
        }
        const int last = i;
        while (i >= 0 && !nextIds.contains(m_rows.at(i).id))
            --i;
        beginRemoveRows({}, i + 1, last);
        m_rows.remove(i + 1, last - i);
        endRemoveRows();
    }

    // The rows that stay must keep their order among the new ones; a
    // reordering (or repeated ids) is rare enough to be shown as a reset.
    QSet<QUuid> keptIds;
    for (const Row &row : std::as_const(m_rows))
        keptIds.insert(row.id);
    bool sameOrder = nextIds.size() == next.size() && keptIds.size() == m_rows.size();
    for (int i = 0, j = 0; sameOrder && j < next.size(); ++j) {
        if (keptIds.contains(next.at(j).id))
            sameOrder = m_rows.at(i++).id == next.at(j).id;
    }
    if (!sameOrder) {
        beginResetModel();
        m_rows = next;
        endResetModel();
    } else {
        for (int j = 0; j < next.size(); ++j) {
            if (j < m_rows.size() && m_rows.at(j).id == next.at(j).id) {
                if (m_rows.at(j).title != next.at(j).title) {
                    m_rows[j].title = next.at(j).title;
                    const QModelIndex changed = index(j);
                    emit dataChanged(changed, changed, {TitleRole, Qt::DisplayRole});
                }
                continue;
            }
            int end = j;
            while (end < next.size() && !keptIds.contains(next.at(end).id))
                ++end;
            beginInsertRows({}, j, end - 1);
            for (int k = j; k < end; ++k)
                m_rows.insert(k, next.at(k));
            endInsertRows();
            j = end - 1;
        }
    }
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

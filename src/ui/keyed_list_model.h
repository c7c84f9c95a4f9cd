#pragma once

#include "app/app_state.h"

#include <QAbstractListModel>
#include <QList>
#include <QPointer>
#include <QSet>
#include <QUuid>

// A list model over records of the application state, each row identified
// by an id. Setting appState connects the model (watch) and fills it
// (reload); syncRows then brings the rows in line with a new list as row
// removals, insertions and data changes, so rows that stay keep their
// delegates (and whatever state those hold); a reordering of the rows that
// stay is shown as a reset.
class KeyedListModel : public QAbstractListModel {
    Q_OBJECT
    Q_PROPERTY(AppState *appState READ appState WRITE setAppState NOTIFY appStateChanged)
    Q_PROPERTY(int count READ rowCount NOTIFY countChanged)

public:
    using QAbstractListModel::QAbstractListModel;

    AppState *appState() const { return m_state; }
    void setAppState(AppState *state);

signals:
    void appStateChanged();
    void countChanged();

protected:
    // Connects the state's change signals to the model.
    virtual void watch(AppState &state) = 0;
    // Replaces every row from the current state (inside a model reset).
    virtual void reload() = 0;

    // changedRoles(old, new) lists the roles whose values differ.
    template <typename Row, typename ChangedRoles>
    void syncRows(QList<Row> &rows, const QList<Row> &next, ChangedRoles changedRoles);

private:
    QPointer<AppState> m_state;
};

inline void KeyedListModel::setAppState(AppState *state)
{
    if (m_state == state)
        return;
    if (m_state)
        disconnect(m_state, nullptr, this, nullptr);
    m_state = state;
    if (m_state)
        watch(*m_state);
    const int before = rowCount();
    beginResetModel();
    reload();
    endResetModel();
    if (before != rowCount())
        emit countChanged();
    emit appStateChanged();
}

template <typename Row, typename ChangedRoles>
void KeyedListModel::syncRows(QList<Row> &rows, const QList<Row> &next, ChangedRoles changedRoles)
{
    const qsizetype before = rows.size();
    QSet<QUuid> nextIds;
    for (const Row &row : next)
        nextIds.insert(row.id);

    // Rows that are gone, in runs from the end so indexes stay valid.
    for (int i = int(rows.size()) - 1; i >= 0;) {
        if (nextIds.contains(rows.at(i).id)) {
            --i;
            continue;
        }
        const int last = i;
        while (i >= 0 && !nextIds.contains(rows.at(i).id))
            --i;
        beginRemoveRows({}, i + 1, last);
        rows.remove(i + 1, last - i);
        endRemoveRows();
    }

    // The rows that stay must keep their order among the new ones; a
    // reordering (or repeated ids) is rare enough to be shown as a reset.
    QSet<QUuid> keptIds;
    for (const Row &row : std::as_const(rows))
        keptIds.insert(row.id);
    bool sameOrder = nextIds.size() == next.size() && keptIds.size() == rows.size();
    for (int i = 0, j = 0; sameOrder && j < next.size(); ++j) {
        if (keptIds.contains(next.at(j).id))
            sameOrder = rows.at(i++).id == next.at(j).id;
    }
    if (!sameOrder) {
        beginResetModel();
        rows = next;
        endResetModel();
        if (before != rows.size())
            emit countChanged();
        return;
    }
    for (int j = 0; j < next.size(); ++j) {
        if (j < rows.size() && rows.at(j).id == next.at(j).id) {
            const QList<int> roles = changedRoles(rows.at(j), next.at(j));
            if (!roles.isEmpty()) {
                rows[j] = next.at(j);
                const QModelIndex changed = index(j);
                emit dataChanged(changed, changed, roles);
            }
            continue;
        }
        int end = j;
        while (end < next.size() && !keptIds.contains(next.at(end).id))
            ++end;
        beginInsertRows({}, j, end - 1);
        for (int k = j; k < end; ++k)
            rows.insert(k, next.at(k));
        endInsertRows();
        j = end - 1;
    }
    if (before != rows.size())
        emit countChanged();
}

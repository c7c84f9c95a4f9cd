#pragma once

#include <QAbstractListModel>
#include <QList>
#include <QSet>
#include <QUuid>

// A list model whose rows are records identified by an id. syncRows brings
// the rows in line with a new list as row removals, insertions and data
// changes, so rows that stay keep their delegates (and whatever state those
// hold); a reordering of the rows that stay is shown as a reset.
class KeyedListModel : public QAbstractListModel {
public:
    using QAbstractListModel::QAbstractListModel;

protected:
    // changedRoles(old, new) lists the roles whose values differ.
    template <typename Row, typename ChangedRoles>
    void syncRows(QList<Row> &rows, const QList<Row> &next, ChangedRoles changedRoles);
};

template <typename Row, typename ChangedRoles>
void KeyedListModel::syncRows(QList<Row> &rows, const QList<Row> &next, ChangedRoles changedRoles)
{
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
}

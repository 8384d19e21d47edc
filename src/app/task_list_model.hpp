#pragma once
// The tasks of the snapshot for a list view: those waiting for the user first, then running,
// then the rest. A new snapshot replaces the rows only when the tasks or their actions changed;
// the "changed … ago" column is re-read from the clock on refreshTimes().
#include <QAbstractTableModel>

#include <functional>
#include <vector>

#include "desktop/snapshot_view.hpp"

namespace vigilorb::app {

class TaskListModel final : public QAbstractTableModel {
    Q_OBJECT

public:
    enum Column { provider, account, title, state, changed, columnCount_ };

    explicit TaskListModel(std::function<Date()> clock, QObject* parent = nullptr);

    void setSnapshot(const store::CompanionSnapshot& snapshot);
    void refreshTimes();
    const std::vector<desktop::TaskRow>& rows() const { return rows_; }

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

private:
    std::function<Date()> clock_;
    std::vector<desktop::TaskRow> rows_;
};

}  // namespace vigilorb::app

#include "app/task_list_model.hpp"

#include <QBrush>
#include <QColor>
#include <QFont>
#include <QStringList>

#include "app/icons.hpp"

namespace vigilorb::app {

namespace {

bool sameRows(const std::vector<desktop::TaskRow>& a, const std::vector<desktop::TaskRow>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const auto &x = a[i], &y = b[i];
        if (x.key != y.key || x.title != y.title || x.state != y.state || x.updatedAt != y.updatedAt ||
            x.pendingActions != y.pendingActions)
            return false;
    }
    return true;
}

QString pendingKinds(const desktop::TaskRow& row) {
    QStringList kinds;
    for (auto kind : row.pendingActions) kinds << QString::fromStdString(desktop::pendingActionText(kind));
    return kinds.join(", ");
}

// The state; what is asked is added where the state does not already say that it waits.
QString stateLabel(const desktop::TaskRow& row) {
    QString text = QString::fromStdString(desktop::stateText(row.state));
    if (!row.pendingActions.empty() && !isWaiting(row.state)) {
        text += QString::fromUtf8(" \u00B7 ") + pendingKinds(row);
    }
    return text;
}

}  // namespace

TaskListModel::TaskListModel(std::function<Date()> clock, QObject* parent)
    : QAbstractTableModel(parent), clock_(std::move(clock)) {}

void TaskListModel::setSnapshot(const store::CompanionSnapshot& snapshot) {
    auto rows = desktop::taskRows(snapshot);
    if (sameRows(rows, rows_)) return;
    beginResetModel();
    rows_ = std::move(rows);
    endResetModel();
}

void TaskListModel::refreshTimes() {
    if (rows_.empty()) return;
    emit dataChanged(index(0, changed), index(static_cast<int>(rows_.size()) - 1, changed), {Qt::DisplayRole});
}

int TaskListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int TaskListModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : columnCount_; }

QVariant TaskListModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= static_cast<int>(rows_.size())) return {};
    const auto& row = rows_[static_cast<std::size_t>(index.row())];
    if (role == Qt::ToolTipRole && index.column() == state && !row.pendingActions.empty())
        return QString::fromStdString(desktop::stateText(row.state)) + QString::fromUtf8(" \u00B7 ") + pendingKinds(row);
    if (role == Qt::DisplayRole || role == Qt::AccessibleTextRole || role == Qt::ToolTipRole) {
        switch (index.column()) {
            case provider: return QString::fromStdString(desktop::providerName(row.provider));
            case account: return QString::fromStdString(row.accountID);
            case title: return QString::fromStdString(row.title.empty() ? "Untitled task" : row.title);
            case state: return stateLabel(row);
            case changed: return QString::fromStdString(desktop::agoText(row.updatedAt, clock_()));
        }
    }
    if (role == Qt::DecorationRole && index.column() == state && row.needsAttention())
        return themedIcon(Icon::warning);
    if (role == Qt::FontRole && row.needsAttention()) {
        QFont bold;
        bold.setBold(true);
        return bold;
    }
    return {};
}

QVariant TaskListModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
    switch (section) {
        case provider: return QStringLiteral("Provider");
        case account: return QStringLiteral("Account");
        case title: return QStringLiteral("Task");
        case state: return QStringLiteral("State");
        case changed: return QStringLiteral("Changed");
    }
    return {};
}

}  // namespace vigilorb::app

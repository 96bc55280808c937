#include "utility/qt/message_list_model.h"

namespace k5320::utility {

void MessageListModel::setColumns(std::span<const ListColumn> columns) {
    beginResetModel();
    headings_.clear();
    for (const ListColumn& column : columns)
        headings_.append(QString::fromUtf8(column.heading.data(),
                                           static_cast<qsizetype>(column.heading.size())));
    endResetModel();
}

int MessageListModel::rowCount(const QModelIndex&) const {
    return 0;  // no rows until the receive monitor adds them
}

int MessageListModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(headings_.size());
}

QVariant MessageListModel::data(const QModelIndex& index, int role) const {
    if (role == Qt::TextAlignmentRole && index.isValid()) return int{Qt::AlignCenter};
    return {};
}

QVariant MessageListModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || section < 0 || section >= headings_.size()) return {};
    if (role == Qt::DisplayRole) return headings_.at(section);
    if (role == Qt::TextAlignmentRole) return int{Qt::AlignCenter};
    return {};
}

}  // namespace k5320::utility

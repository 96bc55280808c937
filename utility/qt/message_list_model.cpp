#include "utility/qt/message_list_model.h"

namespace k5320::utility {

MessageListModel::~MessageListModel() {
    if (list_ != nullptr) list_->setObserver(nullptr);
}

void MessageListModel::setColumns(std::span<const ListColumn> columns) {
    beginResetModel();
    headings_.clear();
    for (const ListColumn& column : columns)
        headings_.append(QString::fromUtf8(column.heading.data(),
                                           static_cast<qsizetype>(column.heading.size())));
    endResetModel();
}

void MessageListModel::bind(MessageList* list) {
    beginResetModel();
    if (list_ != nullptr) list_->setObserver(nullptr);
    list_ = list;
    if (list_ != nullptr) list_->setObserver(this);
    endResetModel();
}

int MessageListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() || list_ == nullptr ? 0 : list_->size();
}

int MessageListModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(headings_.size());
}

QVariant MessageListModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || list_ == nullptr) return {};
    if (role == Qt::TextAlignmentRole) return int{Qt::AlignCenter};
    if (role != Qt::DisplayRole) return {};
    // Cells hold 8-bit text: a data byte shown as a character is that byte's Latin-1 character.
    const std::string_view text = list_->cell(index.row(), index.column());
    return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
}

QVariant MessageListModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || section < 0 || section >= headings_.size()) return {};
    if (role == Qt::DisplayRole) return headings_.at(section);
    if (role == Qt::TextAlignmentRole) return int{Qt::AlignCenter};
    return {};
}

void MessageListModel::rowsAboutToBeInserted(int first, int count) {
    beginInsertRows({}, first, first + count - 1);
}

void MessageListModel::rowsInserted() {
    endInsertRows();
}

void MessageListModel::rowsAboutToBeRemoved(int first, int count) {
    beginRemoveRows({}, first, first + count - 1);
}

void MessageListModel::rowsRemoved() {
    endRemoveRows();
}

void MessageListModel::aboutToClear() {
    beginResetModel();
}

void MessageListModel::cleared() {
    endResetModel();
}

void MessageListModel::cellsChanged(int firstRow, int lastRow, int firstColumn, int lastColumn) {
    emit dataChanged(index(firstRow, firstColumn), index(lastRow, lastColumn), {Qt::DisplayRole});
}

void MessageListView::showRow(int row) {
    executeDelayedItemsLayout();
    scrollTo(model()->index(row, 0), EnsureVisible);
}

}  // namespace k5320::utility

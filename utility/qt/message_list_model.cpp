#include "utility/qt/message_list_model.h"

namespace k5320::utility {

MessageListModel::~MessageListModel() {
    if (list_ != nullptr) list_->set_observer(nullptr);
}

void ObservedTableModel::setColumns(std::span<const ListColumn> columns) {
    beginResetModel();
    headings_.clear();
    for (const ListColumn& column : columns)
        headings_.append(QString::fromUtf8(column.heading.data(),
                                           static_cast<qsizetype>(column.heading.size())));
    endResetModel();
}

void MessageListModel::bind(MessageList* list) {
    beginResetModel();
    if (list_ != nullptr) list_->set_observer(nullptr);
    list_ = list;
    if (list_ != nullptr) list_->set_observer(this);
    endResetModel();
}

int MessageListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() || list_ == nullptr ? 0 : list_->size();
}

int ObservedTableModel::columnCount(const QModelIndex& parent) const {
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

QVariant ObservedTableModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || section < 0 || section >= headings_.size()) return {};
    if (role == Qt::DisplayRole) return headings_.at(section);
    if (role == Qt::TextAlignmentRole) return int{Qt::AlignCenter};
    return {};
}

void ObservedTableModel::rows_about_to_be_inserted(int first, int count) {
    beginInsertRows({}, first, first + count - 1);
}

void ObservedTableModel::rows_inserted() {
    endInsertRows();
}

void ObservedTableModel::rows_about_to_be_removed(int first, int count) {
    beginRemoveRows({}, first, first + count - 1);
}

void ObservedTableModel::rows_removed() {
    endRemoveRows();
}

void ObservedTableModel::about_to_clear() {
    beginResetModel();
}

void ObservedTableModel::cleared() {
    endResetModel();
}

void ObservedTableModel::cells_changed(int first_row, int last_row, int first_column,
                                       int last_column) {
    // Every role: a cell's look may follow its text.
    emit dataChanged(index(first_row, first_column), index(last_row, last_column));
}

void MessageListView::showRow(int row) {
    executeDelayedItemsLayout();
    scrollTo(model()->index(row, 0), EnsureVisible);
}

}  // namespace k5320::utility

#include "utility/qt/identifier_model.h"

#include <QBrush>
#include <QColor>

namespace k5320::utility {
namespace {

// A changed byte: pale amber behind dark text, readable in light and dark styles alike.
const QColor kChangedByteBackground(0xFF, 0xD5, 0x80);
const QColor kChangedByteText(Qt::black);

}  // namespace

IdentifierModel::~IdentifierModel() {
    if (table_ != nullptr) table_->set_observer(nullptr);
}

void IdentifierModel::bind(IdentifierTable* table) {
    beginResetModel();
    if (table_ != nullptr) table_->set_observer(nullptr);
    table_ = table;
    if (table_ != nullptr) table_->set_observer(this);
    endResetModel();
}

int IdentifierModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() || table_ == nullptr ? 0 : table_->size();
}

QVariant IdentifierModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || table_ == nullptr) return {};
    const int first_data = static_cast<int>(IdentifierColumn::kFirstData);
    const bool changed = index.column() >= first_data &&
                         table_->byte_changed(index.row(), index.column() - first_data) &&
                         !table_->cell(index.row(), index.column()).empty();
    switch (role) {
        case Qt::DisplayRole:
            return QString::fromStdString(table_->cell(index.row(), index.column()));
        case Qt::TextAlignmentRole:
            return int{Qt::AlignCenter};
        case Qt::BackgroundRole:
            return changed ? QBrush(kChangedByteBackground) : QVariant();
        case Qt::ForegroundRole:
            return changed ? QBrush(kChangedByteText) : QVariant();
        default:
            return {};
    }
}

}  // namespace k5320::utility

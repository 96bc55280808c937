// The view per identifier as a model for a table view, kept over the dialog's IdentifierTable:
// the table announces each batch, cells are read from it when the view paints them, and the data
// bytes that changed with an identifier's last frame are drawn on a highlight.
#pragma once

#include "utility/main/identifier_table.h"
#include "utility/qt/message_list_model.h"

namespace k5320::utility {

class IdentifierModel final : public ObservedTableModel {
  public:
    using ObservedTableModel::ObservedTableModel;
    ~IdentifierModel() override;

    // Shows the rows of table from now on; nullptr shows none.
    void bind(IdentifierTable* table);

    int rowCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;

  private:
    IdentifierTable* table_ = nullptr;
};

}  // namespace k5320::utility

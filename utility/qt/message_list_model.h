// The message list of the main dialog as a model for a table view. It holds the column headings
// and widths; the rows are filled by the receive monitor.
#pragma once

#include <QAbstractTableModel>
#include <QStringList>
#include <span>

#include "utility/main/dialog_template.h"

namespace k5320::utility {

class MessageListModel final : public QAbstractTableModel {
  public:
    using QAbstractTableModel::QAbstractTableModel;

    void setColumns(std::span<const ListColumn> columns);

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;

  private:
    QStringList headings_;
};

}  // namespace k5320::utility

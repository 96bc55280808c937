// The message list of the main dialog as a model for a table view, kept over the dialog's ring
// of rows: the ring announces each change, the model passes it on to the view, and cells are
// read from the ring when the view paints them. A tick's rows arrive as one insertion; only
// Clear and the 1000-row wrap reset the model.
#pragma once

#include <QAbstractTableModel>
#include <QStringList>
#include <QTableView>
#include <span>

#include "utility/main/dialog_template.h"
#include "utility/main/message_list.h"

namespace k5320::utility {

class MessageListModel final : public QAbstractTableModel, public ListObserver {
  public:
    using QAbstractTableModel::QAbstractTableModel;
    ~MessageListModel() override;

    void setColumns(std::span<const ListColumn> columns);
    // Shows the rows of list from now on; nullptr shows none.
    void bind(MessageList* list);

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;

    // ListObserver
    void rowsAboutToBeInserted(int first, int count) override;
    void rowsInserted() override;
    void rowsAboutToBeRemoved(int first, int count) override;
    void rowsRemoved() override;
    void aboutToClear() override;
    void cleared() override;
    void cellsChanged(int firstRow, int lastRow, int firstColumn, int lastColumn) override;

  private:
    QStringList headings_;
    MessageList* list_ = nullptr;
};

// The table view of the message list. A row just inserted is laid out only when the event loop
// next runs, and until then the scroll range does not reach it: showing it lays the view out
// first.
class MessageListView final : public QTableView {
  public:
    using QTableView::QTableView;
    void showRow(int row);
};

}  // namespace k5320::utility

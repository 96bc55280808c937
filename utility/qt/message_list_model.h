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

// A table model kept over rows held elsewhere that announce their changes through
// ListObserver: each announcement becomes the model's own, so a view reads the rows in place.
class ObservedTableModel : public QAbstractTableModel, public ListObserver {
  public:
    using QAbstractTableModel::QAbstractTableModel;

    void setColumns(std::span<const ListColumn> columns);

    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;

    // ListObserver
    void rows_about_to_be_inserted(int first, int count) override;
    void rows_inserted() override;
    void rows_about_to_be_removed(int first, int count) override;
    void rows_removed() override;
    void about_to_clear() override;
    void cleared() override;
    void cells_changed(int first_row, int last_row, int first_column, int last_column) override;

  private:
    QStringList headings_;
};

class MessageListModel final : public ObservedTableModel {
  public:
    using ObservedTableModel::ObservedTableModel;
    ~MessageListModel() override;

    // Shows the rows of list from now on; nullptr shows none.
    void bind(MessageList* list);

    int rowCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;

  private:
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

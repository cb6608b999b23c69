#pragma once

#include <QAbstractTableModel>
#include <QRgb>
#include <QTreeView>

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

// The report-style list view: rows of text cells under column headers,
// full-row selection of several rows, a per-row data value, sorting by a
// comparison of those values. Row and column indexes are those of the list as
// shown. UI thread only; the dialog's window calls bring other threads here.

namespace quellis::ui
{

inline constexpr int kListNone = -1;

// Item state bits.
inline constexpr unsigned kItemFocused = 0x1;
inline constexpr unsigned kItemSelected = 0x2;

class ListModel : public QAbstractTableModel
{
    Q_OBJECT

public:
    using QAbstractTableModel::QAbstractTableModel;

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

    struct Row
    {
        std::vector<QString> cells;
        std::intptr_t data = 0;
        QRgb background = 0; // 0: the list's own
    };

    void InsertColumn(int column, const QString& header);
    void SetHeader(int column, const QString& header);
    [[nodiscard]] QString Header(int column) const;
    int InsertRow(int row, const QString& firstCell);
    // A whole row at once: one insertion for the view instead of one per cell.
    int InsertRowCells(int row, std::vector<QString> cells);
    // Rows at the end in one insertion; returns the index of the first.
    int AppendRows(std::vector<std::vector<QString>> rows);
    void SetCell(int row, int column, const QString& text);
    // Several cells of one row at once (column, text), one change for the view.
    void SetCells(int row, const std::vector<std::pair<int, QString>>& cells);
    [[nodiscard]] QString Cell(int row, int column) const;
    void SetRowData(int row, std::intptr_t data);
    void SetRowBackground(int row, QRgb background);
    [[nodiscard]] std::intptr_t RowData(int row) const;
    void Clear();
    [[nodiscard]] const std::vector<Row>& Rows() const { return rows_; }
    // Reorders the rows to `order` (old row indexes in their new order),
    // keeping selection and current row with their rows.
    void Reorder(const std::vector<int>& order);

private:
    std::vector<QString> headers_;
    std::vector<Row> rows_;
};

class ListViewControl : public QTreeView
{
    Q_OBJECT

public:
    explicit ListViewControl(QWidget* parent = nullptr);

    // Columns.
    int InsertColumn(int column, std::string_view header, int width);
    void SetColumnText(int column, std::string_view header);
    [[nodiscard]] std::string ColumnText(int column) const;
    [[nodiscard]] int ColumnCount() const;
    [[nodiscard]] int ColumnWidth(int column) const;
    void SetColumnWidth(int column, int width);

    // Rows. InsertItem returns the new row's index, or kListNone.
    int InsertItem(int row, std::string_view text);
    // Rows of thousands of machines arrive in bursts: whole rows and several
    // cells at once keep the view's work to one change each.
    int InsertItemCells(int row, std::vector<QString> cells);
    // Rows at the end, one change for the view however many; the index of
    // the first, or kListNone.
    int AppendItems(std::vector<std::vector<QString>> rows);
    void SetItemCells(int row, const std::vector<std::pair<int, QString>>& cells);
    void SetItemText(int row, int column, std::string_view text);
    [[nodiscard]] std::string ItemText(int row, int column) const;
    void SetItemData(int row, std::intptr_t data);
    // A row's background colour (0: the list's own).
    void SetItemBackground(int row, QRgb background);
    [[nodiscard]] std::intptr_t ItemData(int row) const;
    [[nodiscard]] int ItemCount() const;
    void DeleteAllItems();

    // Selection and focus. NextSelected(start) finds the first selected row
    // after start (kListNone: from the first row).
    [[nodiscard]] int NextSelected(int start) const;
    [[nodiscard]] int SelectedCount() const;
    void SetItemState(int row, unsigned state, unsigned mask);
    [[nodiscard]] unsigned ItemState(int row, unsigned mask) const;
    void EnsureRowVisible(int row);

    // Sorts the rows with compare(data of a, data of b) < 0 meaning a before
    // b; rows that compare equal keep their order.
    void SortItems(const std::function<int(std::intptr_t, std::intptr_t)>& compare);

    [[nodiscard]] ListModel& Model() { return model_; }

signals:
    void ItemClicked(int row);
    void ItemDoubleClicked(int row);
    void ColumnClicked(int column);

protected:
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;

private:
    ListModel model_;
};

} // namespace quellis::ui

#include "platform/ui/list_view.h"

#include <QColor>
#include <QHeaderView>
#include <QMouseEvent>

#include <algorithm>
#include <numeric>

namespace quellis::ui
{

namespace
{

QString FromUtf8(std::string_view text)
{
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

std::string ToUtf8(const QString& text)
{
    return text.toStdString();
}

} // namespace

// ---- ListModel ----

int ListModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int ListModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(headers_.size());
}

QVariant ListModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid())
    {
        return {};
    }
    const Row& row = rows_[static_cast<std::size_t>(index.row())];
    if (role == Qt::BackgroundRole)
    {
        return row.background != 0 ? QVariant(QColor::fromRgb(row.background)) : QVariant();
    }
    if (role != Qt::DisplayRole && role != Qt::AccessibleTextRole)
    {
        return {};
    }
    const auto column = static_cast<std::size_t>(index.column());
    return column < row.cells.size() ? row.cells[column] : QString();
}

QVariant ListModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || (role != Qt::DisplayRole && role != Qt::AccessibleTextRole) || section < 0
        || section >= static_cast<int>(headers_.size()))
    {
        return QAbstractTableModel::headerData(section, orientation, role);
    }
    return headers_[static_cast<std::size_t>(section)];
}

void ListModel::InsertColumn(int column, const QString& header)
{
    column = std::clamp(column, 0, static_cast<int>(headers_.size()));
    beginInsertColumns({}, column, column);
    headers_.insert(headers_.begin() + column, header);
    for (Row& row : rows_)
    {
        if (static_cast<std::size_t>(column) <= row.cells.size())
        {
            row.cells.insert(row.cells.begin() + column, QString());
        }
    }
    endInsertColumns();
}

void ListModel::SetHeader(int column, const QString& header)
{
    if (column < 0 || column >= static_cast<int>(headers_.size()))
    {
        return;
    }
    headers_[static_cast<std::size_t>(column)] = header;
    emit headerDataChanged(Qt::Horizontal, column, column);
}

QString ListModel::Header(int column) const
{
    return column >= 0 && column < static_cast<int>(headers_.size()) ? headers_[static_cast<std::size_t>(column)]
                                                                     : QString();
}

int ListModel::InsertRow(int row, const QString& firstCell)
{
    row = std::clamp(row, 0, static_cast<int>(rows_.size()));
    beginInsertRows({}, row, row);
    Row added;
    added.cells.resize(std::max<std::size_t>(headers_.size(), 1));
    added.cells[0] = firstCell;
    rows_.insert(rows_.begin() + row, std::move(added));
    endInsertRows();
    return row;
}

int ListModel::InsertRowCells(int row, std::vector<QString> cells)
{
    row = std::clamp(row, 0, static_cast<int>(rows_.size()));
    cells.resize(std::max<std::size_t>(headers_.size(), 1));
    beginInsertRows({}, row, row);
    rows_.insert(rows_.begin() + row, Row { std::move(cells), 0, 0 });
    endInsertRows();
    return row;
}

int ListModel::AppendRows(std::vector<std::vector<QString>> rows)
{
    const int first = static_cast<int>(rows_.size());
    if (rows.empty())
    {
        return first;
    }
    beginInsertRows({}, first, first + static_cast<int>(rows.size()) - 1);
    // The vector grows by its own factor: reserving exactly what each append
    // needs would move every row at every append, quadratic over a burst.
    for (auto& cells : rows)
    {
        cells.resize(std::max<std::size_t>(headers_.size(), 1));
        rows_.push_back(Row { std::move(cells), 0, 0 });
    }
    endInsertRows();
    return first;
}

void ListModel::SetCells(int row, const std::vector<std::pair<int, QString>>& cells)
{
    if (row < 0 || row >= static_cast<int>(rows_.size()) || cells.empty())
    {
        return;
    }
    auto& rowCells = rows_[static_cast<std::size_t>(row)].cells;
    int first = columnCount();
    int last = -1;
    for (const auto& [column, text] : cells)
    {
        if (column < 0)
        {
            continue;
        }
        if (static_cast<std::size_t>(column) >= rowCells.size())
        {
            rowCells.resize(static_cast<std::size_t>(column) + 1);
        }
        QString& cell = rowCells[static_cast<std::size_t>(column)];
        if (cell != text)
        {
            cell = text;
            first = std::min(first, column);
            last = std::max(last, column);
        }
    }
    if (last >= 0)
    {
        emit dataChanged(index(row, first), index(row, last), { Qt::DisplayRole });
    }
}

void ListModel::SetCell(int row, int column, const QString& text)
{
    if (row < 0 || row >= static_cast<int>(rows_.size()) || column < 0)
    {
        return;
    }
    auto& cells = rows_[static_cast<std::size_t>(row)].cells;
    if (static_cast<std::size_t>(column) >= cells.size())
    {
        cells.resize(static_cast<std::size_t>(column) + 1);
    }
    QString& cell = cells[static_cast<std::size_t>(column)];
    if (cell != text)
    {
        cell = text;
        const QModelIndex changed = index(row, column);
        emit dataChanged(changed, changed, { Qt::DisplayRole });
    }
}

QString ListModel::Cell(int row, int column) const
{
    if (row < 0 || row >= static_cast<int>(rows_.size()) || column < 0)
    {
        return {};
    }
    const auto& cells = rows_[static_cast<std::size_t>(row)].cells;
    return static_cast<std::size_t>(column) < cells.size() ? cells[static_cast<std::size_t>(column)] : QString();
}

void ListModel::SetRowData(int row, std::intptr_t data)
{
    if (row >= 0 && row < static_cast<int>(rows_.size()))
    {
        rows_[static_cast<std::size_t>(row)].data = data;
    }
}

void ListModel::SetRowBackground(int row, QRgb background)
{
    if (row >= 0 && row < static_cast<int>(rows_.size())
        && rows_[static_cast<std::size_t>(row)].background != background)
    {
        rows_[static_cast<std::size_t>(row)].background = background;
        emit dataChanged(index(row, 0), index(row, std::max(columnCount() - 1, 0)), { Qt::BackgroundRole });
    }
}

std::intptr_t ListModel::RowData(int row) const
{
    return row >= 0 && row < static_cast<int>(rows_.size()) ? rows_[static_cast<std::size_t>(row)].data : 0;
}

void ListModel::Clear()
{
    beginResetModel();
    rows_.clear();
    endResetModel();
}

void ListModel::Reorder(const std::vector<int>& order)
{
    emit layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
    std::vector<int> newPosition(order.size());
    std::vector<Row> sorted;
    sorted.reserve(rows_.size());
    for (std::size_t i = 0; i < order.size(); ++i)
    {
        newPosition[static_cast<std::size_t>(order[i])] = static_cast<int>(i);
        sorted.push_back(std::move(rows_[static_cast<std::size_t>(order[i])]));
    }
    rows_ = std::move(sorted);
    // Selection and the current row follow their rows through the persistent indexes.
    const QModelIndexList before = persistentIndexList();
    QModelIndexList after;
    after.reserve(before.size());
    for (const QModelIndex& old : before)
    {
        after.push_back(index(newPosition[static_cast<std::size_t>(old.row())], old.column()));
    }
    changePersistentIndexList(before, after);
    emit layoutChanged({}, QAbstractItemModel::VerticalSortHint);
}

// ---- ListViewControl ----

ListViewControl::ListViewControl(QWidget* parent)
    : QTreeView(parent)
{
    setModel(&model_);
    setRootIsDecorated(false);
    setItemsExpandable(false);
    setUniformRowHeights(true); // keeps thousands of rows cheap to lay out
    setAllColumnsShowFocus(true);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setSortingEnabled(false);
    header()->setSectionsClickable(true);
    header()->setSectionsMovable(false);
    header()->setStretchLastSection(false);
    header()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    connect(header(), &QHeaderView::sectionClicked, this, &ListViewControl::ColumnClicked);
}

int ListViewControl::InsertColumn(int column, std::string_view header, int width)
{
    model_.InsertColumn(column, FromUtf8(header));
    const int inserted = std::clamp(column, 0, model_.columnCount() - 1);
    QTreeView::setColumnWidth(inserted, width);
    return inserted;
}

void ListViewControl::SetColumnText(int column, std::string_view header)
{
    model_.SetHeader(column, FromUtf8(header));
}

std::string ListViewControl::ColumnText(int column) const
{
    return ToUtf8(model_.Header(column));
}

int ListViewControl::ColumnCount() const
{
    return model_.columnCount();
}

int ListViewControl::ColumnWidth(int column) const
{
    return QTreeView::columnWidth(column);
}

void ListViewControl::SetColumnWidth(int column, int width)
{
    QTreeView::setColumnWidth(column, width);
}

int ListViewControl::InsertItem(int row, std::string_view text)
{
    if (model_.columnCount() == 0)
    {
        return kListNone;
    }
    return model_.InsertRow(row, FromUtf8(text));
}

int ListViewControl::InsertItemCells(int row, std::vector<QString> cells)
{
    if (model_.columnCount() == 0)
    {
        return kListNone;
    }
    return model_.InsertRowCells(row, std::move(cells));
}

int ListViewControl::AppendItems(std::vector<std::vector<QString>> rows)
{
    if (model_.columnCount() == 0)
    {
        return kListNone;
    }
    return model_.AppendRows(std::move(rows));
}

void ListViewControl::SetItemCells(int row, const std::vector<std::pair<int, QString>>& cells)
{
    model_.SetCells(row, cells);
}

void ListViewControl::SetItemText(int row, int column, std::string_view text)
{
    if (column < model_.columnCount())
    {
        model_.SetCell(row, column, FromUtf8(text));
    }
}

std::string ListViewControl::ItemText(int row, int column) const
{
    return ToUtf8(model_.Cell(row, column));
}

void ListViewControl::SetItemData(int row, std::intptr_t data)
{
    model_.SetRowData(row, data);
}

void ListViewControl::SetItemBackground(int row, QRgb background)
{
    model_.SetRowBackground(row, background);
}

std::intptr_t ListViewControl::ItemData(int row) const
{
    return model_.RowData(row);
}

int ListViewControl::ItemCount() const
{
    return model_.rowCount();
}

void ListViewControl::DeleteAllItems()
{
    model_.Clear();
}

int ListViewControl::NextSelected(int start) const
{
    const QItemSelectionModel* selection = selectionModel();
    const int count = model_.rowCount();
    for (int row = std::max(start + 1, 0); row < count; ++row)
    {
        if (selection->isRowSelected(row, {}))
        {
            return row;
        }
    }
    return kListNone;
}

int ListViewControl::SelectedCount() const
{
    return static_cast<int>(selectionModel()->selectedRows().size());
}

void ListViewControl::SetItemState(int row, unsigned state, unsigned mask)
{
    if (row < 0 || row >= model_.rowCount())
    {
        return;
    }
    const QModelIndex index = model_.index(row, 0);
    if ((mask & kItemSelected) != 0)
    {
        const auto flags = ((state & kItemSelected) != 0 ? QItemSelectionModel::Select : QItemSelectionModel::Deselect)
            | QItemSelectionModel::Rows;
        selectionModel()->select(index, flags);
    }
    if ((mask & kItemFocused) != 0 && (state & kItemFocused) != 0)
    {
        selectionModel()->setCurrentIndex(index, QItemSelectionModel::NoUpdate);
    }
}

unsigned ListViewControl::ItemState(int row, unsigned mask) const
{
    if (row < 0 || row >= model_.rowCount())
    {
        return 0;
    }
    unsigned state = 0;
    if (selectionModel()->isRowSelected(row, {}))
    {
        state |= kItemSelected;
    }
    if (selectionModel()->currentIndex().isValid() && selectionModel()->currentIndex().row() == row)
    {
        state |= kItemFocused;
    }
    return state & mask;
}

void ListViewControl::EnsureRowVisible(int row)
{
    if (row >= 0 && row < model_.rowCount())
    {
        scrollTo(model_.index(row, 0));
    }
}

void ListViewControl::SortItems(const std::function<int(std::intptr_t, std::intptr_t)>& compare)
{
    const auto& rows = model_.Rows();
    std::vector<int> order(rows.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(),
        order.end(),
        [&](int a, int b)
        { return compare(rows[static_cast<std::size_t>(a)].data, rows[static_cast<std::size_t>(b)].data) < 0; });
    model_.Reorder(order);
}

void ListViewControl::mouseReleaseEvent(QMouseEvent* event)
{
    QTreeView::mouseReleaseEvent(event);
    if (event->button() == Qt::LeftButton)
    {
        const QModelIndex index = indexAt(event->position().toPoint());
        emit ItemClicked(index.isValid() ? index.row() : kListNone);
    }
}

void ListViewControl::mouseDoubleClickEvent(QMouseEvent* event)
{
    QTreeView::mouseDoubleClickEvent(event);
    if (event->button() == Qt::LeftButton)
    {
        const QModelIndex index = indexAt(event->position().toPoint());
        emit ItemDoubleClicked(index.isValid() ? index.row() : kListNone);
    }
}

} // namespace quellis::ui

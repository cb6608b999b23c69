#include "platform/ui/list_view.h"

#include <QApplication>
#include <QHeaderView>
#include <QTest>

#include <gtest/gtest.h>

namespace quellis::ui
{
namespace
{

class ListView : public testing::Test
{
protected:
    void SetUp() override
    {
        list.resize(600, 300);
        list.InsertColumn(0, "序号", 50);
        list.InsertColumn(1, "IP地址", 120);
        list.InsertColumn(2, "MAC地址", 120);
        list.show();
    }

    void AddRow(const std::string& number, const std::string& ip)
    {
        const int row = list.InsertItem(list.ItemCount(), number);
        list.SetItemText(row, 1, ip);
    }

    ListViewControl list;
};

TEST_F(ListView, ColumnsKeepTheirWidthsWhenHeadersChangeInPlace)
{
    AddRow("1", "10.0.0.1");
    EXPECT_EQ(list.ColumnCount(), 3);
    EXPECT_EQ(list.ColumnText(1), "IP地址");
    list.SetColumnText(1, "IP Addr");
    EXPECT_EQ(list.ColumnText(1), "IP Addr");
    EXPECT_EQ(list.model()->headerData(1, Qt::Horizontal).toString(), QStringLiteral("IP Addr"));
    EXPECT_EQ(list.ColumnWidth(1), 120);
    EXPECT_EQ(list.ItemCount(), 1);
    EXPECT_EQ(list.ItemText(0, 1), "10.0.0.1");
    EXPECT_EQ(list.ItemText(0, 2), "");
    EXPECT_EQ(list.ItemText(5, 1), ""); // past the rows: empty, never a crash
}

TEST_F(ListView, SelectionStatesAndNextSelectedRow)
{
    for (int i = 0; i < 5; ++i)
    {
        AddRow(std::to_string(i + 1), "10.0.0." + std::to_string(i + 1));
    }
    EXPECT_EQ(list.NextSelected(kListNone), kListNone);
    list.SetItemState(1, kItemSelected, kItemSelected);
    list.SetItemState(3, kItemSelected | kItemFocused, kItemSelected | kItemFocused);
    EXPECT_EQ(list.NextSelected(kListNone), 1);
    EXPECT_EQ(list.NextSelected(1), 3);
    EXPECT_EQ(list.NextSelected(3), kListNone);
    EXPECT_EQ(list.SelectedCount(), 2);
    EXPECT_EQ(list.ItemState(3, kItemSelected | kItemFocused), kItemSelected | kItemFocused);
    EXPECT_EQ(list.ItemState(1, kItemFocused), 0u);
    list.SetItemState(1, 0, kItemSelected);
    EXPECT_EQ(list.SelectedCount(), 1);
}

TEST_F(ListView, StableSortByRowDataKeepsSelectionWithItsRow)
{
    const std::vector<std::pair<std::string, int>> rows = { { "a", 3 }, { "b", 1 }, { "c", 3 }, { "d", 2 } };
    for (const auto& [name, key] : rows)
    {
        const int row = list.InsertItem(list.ItemCount(), name);
        list.SetItemData(row, key);
    }
    list.SetItemState(2, kItemSelected | kItemFocused, kItemSelected | kItemFocused); // "c"
    list.SortItems([](std::intptr_t a, std::intptr_t b) { return a < b ? -1 : a > b ? 1 : 0; });
    std::string order;
    for (int row = 0; row < list.ItemCount(); ++row)
    {
        order += list.ItemText(row, 0);
    }
    EXPECT_EQ(order, "bdac"); // a before c: equal keys keep their order
    EXPECT_EQ(list.NextSelected(kListNone), 3);
    EXPECT_EQ(list.ItemText(list.NextSelected(kListNone), 0), "c");
    EXPECT_EQ(list.ItemState(3, kItemFocused), kItemFocused);
}

TEST_F(ListView, ClicksReportTheRowOrNoneAndHeaderClicksTheColumn)
{
    AddRow("1", "10.0.0.1");
    AddRow("2", "10.0.0.2");
    std::vector<int> clicked;
    std::vector<int> doubleClicked;
    std::vector<int> columns;
    QObject::connect(&list, &ListViewControl::ItemClicked, [&](int row) { clicked.push_back(row); });
    QObject::connect(&list, &ListViewControl::ItemDoubleClicked, [&](int row) { doubleClicked.push_back(row); });
    QObject::connect(&list, &ListViewControl::ColumnClicked, [&](int column) { columns.push_back(column); });

    const QRect second = list.visualRect(list.model()->index(1, 1));
    QTest::mouseClick(list.viewport(), Qt::LeftButton, {}, second.center());
    QTest::mouseClick(list.viewport(), Qt::LeftButton, {}, QPoint(5, list.viewport()->height() - 5));
    QTest::mouseDClick(list.viewport(), Qt::LeftButton, {}, second.center());
    QTest::mouseClick(list.header()->viewport(),
        Qt::LeftButton,
        {},
        QPoint(list.header()->sectionViewportPosition(2) + 10, list.header()->height() / 2));

    ASSERT_GE(clicked.size(), 2u);
    EXPECT_EQ(clicked[0], 1);
    EXPECT_EQ(clicked[1], kListNone);
    ASSERT_FALSE(doubleClicked.empty());
    EXPECT_EQ(doubleClicked.back(), 1);
    ASSERT_EQ(columns.size(), 1u);
    EXPECT_EQ(columns[0], 2);
}

TEST_F(ListView, DeleteAllItemsEmptiesRowsAndSelection)
{
    AddRow("1", "10.0.0.1");
    list.SetItemState(0, kItemSelected, kItemSelected);
    list.DeleteAllItems();
    EXPECT_EQ(list.ItemCount(), 0);
    EXPECT_EQ(list.NextSelected(kListNone), kListNone);
    EXPECT_EQ(list.InsertItem(0, "1"), 0);
}

} // namespace
} // namespace quellis::ui

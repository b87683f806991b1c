// The record list: cell texts of both views, the in-place refill (no reset,
// selection kept by record), the shared sort flip and its comparisons.
#include <arpa/inet.h>

#include <QAbstractItemModelTester>
#include <QItemSelectionModel>
#include <QSignalSpy>

#include "engine/dns_message.h"
#include "engine/record_view.h"
#include "gui/record_table_model.h"
#include "tests/gui/gui_test.h"

namespace norvane {
namespace {

uint32_t address(const char* text) { return inet_addr(text); }

RecordView row(uint64_t handle, uint32_t type, const char* name, uint32_t datum = 0,
               const char* target = "", uint32_t time = 0) {
  return RecordView{handle, 0, time, datum, type, name, target};
}

QStringList cells(const RecordTableModel& model, int row) {
  QStringList texts;
  for (int column = 0; column < model.columnCount(); ++column)
    texts << model.data(model.index(row, column)).toString();
  return texts;
}

QStringList names(const RecordTableModel& model) {
  QStringList texts;
  for (int index = 0; index < model.rowCount(); ++index)
    texts << model.data(model.index(index, 0)).toString();
  return texts;
}

}  // namespace

struct RecordViewHolder {
  RecordView value;
};

}  // namespace norvane

Q_DECLARE_METATYPE(norvane::RecordViewHolder)

namespace norvane {

class RecordListTest : public QObject {
  Q_OBJECT

 private slots:
  void cellTextsOfBothViews_data() {
    QTest::addColumn<int>("source");
    QTest::addColumn<RecordViewHolder>("record");
    QTest::addColumn<QStringList>("expected");
    QTest::newRow("A") << 0
                       << RecordViewHolder{row(1, kTypeA, "host.office.lan",
                                               address("192.168.10.20"), "", 300)}
                       << QStringList{"host.office.lan.", "A", "192.168.10.20", "300"};
    QTest::newRow("TTL 0 is empty")
        << 0 << RecordViewHolder{row(1, kTypeA, "a.lan", address("10.0.0.1"), "", 0)}
        << QStringList{"a.lan.", "A", "10.0.0.1", ""};
    QTest::newRow("MX") << 0
                        << RecordViewHolder{row(1, kTypeMx, "office.lan", 10, "mail.office.lan",
                                                60)}
                        << QStringList{"office.lan.", "MX", "10   mail.office.lan.", "60"};
    QTest::newRow("NS") << 0
                        << RecordViewHolder{row(1, kTypeNs, "office.lan", 0, "ns1.office.lan", 60)}
                        << QStringList{"office.lan.", "NS", "ns1.office.lan.", "60"};
    QTest::newRow("CNAME") << 0
                           << RecordViewHolder{row(1, kTypeCname, "www.lan", 0, "host.lan", 60)}
                           << QStringList{"www.lan.", "CNAME", "host.lan.", "60"};
    QTest::newRow("cache A remaining")
        << 1 << RecordViewHolder{row(1, kTypeA, "x.test", address("1.2.3.4"), "", 1250)}
        << QStringList{"x.test.", "A", "1.2.3.4", "250"};
    QTest::newRow("cache PTR") << 1
                               << RecordViewHolder{row(1, kTypePtr, "host.test", address("1.2.3.4"),
                                                       "", 1010)}
                               << QStringList{"4.3.2.1.in-addr.arpa.", "PTR", "host.test.", "10"};
  }
  void cellTextsOfBothViews() {
    QFETCH(int, source);
    QFETCH(RecordViewHolder, record);
    QFETCH(QStringList, expected);
    RecordTableModel model;
    model.refill({record.value}, source == 0 ? RecordSource::kDatabase : RecordSource::kCache,
                 1000);
    QCOMPARE(cells(model, 0), expected);
  }

  void databaseViewLeavesOutOtherTypes() {
    TransactionLog log;
    LocalZone zone(log);
    LocalZone::Guard guard = zone.hold();
    guard.set_minimum(3600);
    QCOMPARE(zone.add_zone_record(0, kTypeA, "a.lan", 60, address("10.0.0.1"), std::string_view()),
             1);
    QCOMPARE(zone.add_zone_record(0, kTypeMx, "lan", 60, 5, std::string_view("a.lan")), 1);
    const std::vector<RecordView> rows = database_rows(zone);
    QCOMPARE(rows.size(), size_t{2});
    QCOMPARE(rows[0].name, std::string("a.lan"));
    QCOMPARE(rows[1].type, uint32_t{kTypeMx});
  }

  void cacheViewLeavesOutExpiredEntries() {
    std::vector<CacheEntry> entries(3);
    entries[0] = CacheEntry{1, 0, 999, address("1.1.1.1"), kTypeA, "old.test", ""};
    entries[1] = CacheEntry{2, 0, 1000, address("2.2.2.2"), kTypeA, "due.test", ""};
    entries[2] = CacheEntry{3, 0, 2000, 0, 6, "soa.test", ""};
    const std::vector<RecordView> rows = cache_rows(entries, 1000);
    QCOMPARE(rows.size(), size_t{1});
    QCOMPARE(rows[0].handle, uint64_t{2});
  }

  void refillOverwritesInPlaceWithoutReset() {
    RecordTableModel model;
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
    QSignalSpy resets(&model, &QAbstractItemModel::modelReset);
    QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);
    QSignalSpy inserted(&model, &QAbstractItemModel::rowsInserted);
    QSignalSpy removed(&model, &QAbstractItemModel::rowsRemoved);
    std::vector<RecordView> rows;
    for (uint64_t i = 1; i <= 5; ++i)
      rows.push_back(row(i, kTypeA, ("h" + std::to_string(i)).c_str(), static_cast<uint32_t>(i)));
    QCOMPARE(model.refill(rows, RecordSource::kDatabase, 0), 5);
    QCOMPARE(inserted.count(), 1);
    // Same rows: nothing announced.
    changed.clear();
    model.refill(rows, RecordSource::kDatabase, 0);
    QCOMPARE(changed.count(), 0);
    // Row 2 changes and the last two go: one change, one removal at the end.
    rows[2].datum = 99;
    rows.resize(3);
    QCOMPARE(model.refill(rows, RecordSource::kDatabase, 0), 3);
    QCOMPARE(changed.count(), 1);
    QCOMPARE(changed[0][0].toModelIndex().row(), 2);
    QCOMPARE(removed.count(), 1);
    QCOMPARE(removed[0][1].toInt(), 3);
    QCOMPARE(resets.count(), 0);
  }

  void sortFlipsOneFlagForEveryColumn() {
    RecordTableModel model;
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
    std::vector<RecordView> rows = {row(1, kTypeMx, "b", 10, "m"), row(2, kTypeA, "c", 1),
                                    row(3, kTypeNs, "a", 0, "n")};
    model.refill(rows, RecordSource::kDatabase, 0);
    model.sort_by_column(RecordTableModel::kType);
    QVERIFY(model.sort_descending());
    QCOMPARE(names(model), (QStringList{"b.", "a.", "c."}));  // MX 15, NS 2, A 1
    model.sort_by_column(RecordTableModel::kType);
    QCOMPARE(names(model), (QStringList{"c.", "a.", "b."}));
    // The flag is shared: the next column starts descending again only
    // because the flag flipped back.
    model.sort_by_column(RecordTableModel::kName);
    QVERIFY(model.sort_descending());
    QCOMPARE(names(model), (QStringList{"c.", "b.", "a."}));
    // A refill writes list order again.
    model.refill(rows, RecordSource::kDatabase, 0);
    QCOMPARE(names(model), (QStringList{"b.", "c.", "a."}));
  }

  void compareRecordsByColumn_data() {
    QTest::addColumn<int>("column");
    QTest::addColumn<RecordViewHolder>("left");
    QTest::addColumn<RecordViewHolder>("right");
    QTest::addColumn<int>("sign");
    QTest::newRow("names byte-wise, upper before lower")
        << 0 << RecordViewHolder{row(1, 1, "Zed")} << RecordViewHolder{row(2, 1, "abc")} << -1;
    QTest::newRow("names above 127 after ASCII")
        << 0 << RecordViewHolder{row(1, 1, "\xc3\xa9")} << RecordViewHolder{row(2, 1, "z")} << 1;
    QTest::newRow("type code") << 1 << RecordViewHolder{row(1, kTypeMx, "a")}
                               << RecordViewHolder{row(2, kTypeA, "a")} << 1;
    QTest::newRow("datum, no wrap at 2^31") << 2 << RecordViewHolder{row(1, 1, "a", 0xF0000000u)}
                                            << RecordViewHolder{row(2, 1, "a", 1)} << 1;
    QTest::newRow("both data 0: targets") << 2 << RecordViewHolder{row(1, 2, "a", 0, "x")}
                                          << RecordViewHolder{row(2, 2, "a", 0, "y")} << -1;
    QTest::newRow("time") << 3 << RecordViewHolder{row(1, 1, "a", 0, "", 5)}
                          << RecordViewHolder{row(2, 1, "a", 0, "", 5)} << 0;
  }
  void compareRecordsByColumn() {
    QFETCH(int, column);
    QFETCH(RecordViewHolder, left);
    QFETCH(RecordViewHolder, right);
    QFETCH(int, sign);
    const int result = compare_records(left.value, right.value, column);
    QCOMPARE((result > 0) - (result < 0), sign);
  }

  void selectionFollowsRecordsAcrossSort() {
    RecordTableModel model;
    QItemSelectionModel selection(&model);
    model.refill({row(1, 1, "c"), row(2, 1, "a"), row(3, 1, "b")}, RecordSource::kDatabase, 0);
    selection.select(model.index(0, 0), QItemSelectionModel::Select | QItemSelectionModel::Rows);
    model.sort_by_column(0);  // descending: c, b, a
    model.sort_by_column(0);  // ascending: a, b, c
    const QModelIndexList rows = selection.selectedRows();
    QCOMPARE(rows.size(), 1);
    QCOMPARE(model.record(rows[0].row()).handle, uint64_t{1});
  }
};

NORVANE_GUI_TEST(RecordListTest);

}  // namespace norvane

#include "record_list_test.moc"

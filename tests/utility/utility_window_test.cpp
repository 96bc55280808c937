// The real main dialog on the offscreen platform against the emulated backplane: slot 1 is set
// up with Initialize, a frame typed into the send boxes reaches the module in slot 2, and the
// transmit lamp stays green; the demo node's frames fill the message list and the log file.
// Leaves a screenshot of the dialog with its list in the build folder.
#include <stdlib.h>
#include <unistd.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTableView>
#include <QTest>
#include <array>
#include <chrono>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "backplane/fault_request.h"
#include "backplane/inspect.h"
#include "driver/frame/slot_ownership.h"
#include "emulator/module_probe.h"
#include "k5320.h"
#include "platform/named_event.h"
#include "utility/main/module_api.h"
#include "utility/qt/images.h"
#include "utility/qt/utility_window.h"

namespace k5320::utility {
namespace {

using namespace std::chrono_literals;

// Slots of the default emulated backplane: two modules on one 125 kbit/s bus, slot 3 empty.
constexpr uint8_t kListenerSlot = 2;
constexpr uint8_t kBaud125k = 4;
constexpr uint32_t kAcceptAll = 0xFFFFFFFF;

class RecordingBoxes final : public MessageBoxes {
  public:
    std::vector<std::pair<std::string, std::string>> shown;
    // Runs while a box is open, as the operator reads it.
    std::function<void()> whileOpen;
    void show(std::string_view caption, std::string_view text) override {
        shown.emplace_back(caption, text);
        if (whileOpen) whileOpen();
    }
};

struct Frame {
    uint8_t extended = 0;
    uint32_t id = 0;
    uint8_t remote = 0;
    uint8_t length = 0;
    std::array<uint8_t, 8> data{};
};

// The first frame with this identifier that arrives at slot within the time-out.
std::optional<Frame> awaitFrame(uint8_t slot, uint32_t id) {
    const auto deadline = std::chrono::steady_clock::now() + 3s;
    while (std::chrono::steady_clock::now() < deadline) {
        uint16_t count = 0;
        if (K5320_RxMsgCount(slot, &count) == K5320_SUCCESS) {
            for (uint16_t i = 0; i < count; ++i) {
                Frame frame;
                uint32_t high = 0;
                uint32_t low = 0;
                if (K5320_ReceiveWithoutStruct(slot, &frame.extended, &frame.id, &frame.remote,
                                               &frame.length, frame.data.data(), &high,
                                               &low) == K5320_SUCCESS &&
                    frame.id == id)
                    return frame;
            }
        }
        std::this_thread::sleep_for(1ms);
    }
    return std::nullopt;
}

QImage lampImage(const UtilityWindow& window, ControlId id) {
    return qobject_cast<QLabel*>(window.control(id))->pixmap().toImage();
}

void typeInto(const UtilityWindow& window, ControlId id, const QString& text) {
    auto* edit = qobject_cast<QLineEdit*>(window.control(id));
    edit->selectAll();
    QTest::keyClick(edit, Qt::Key_Delete);
    QTest::keyClicks(edit, text);
}

void press(const UtilityWindow& window, ControlId id) {
    QTest::mouseClick(window.control(id), Qt::LeftButton);
}

QTableView* messageList(const UtilityWindow& window) {
    return qobject_cast<QTableView*>(window.control(ControlId::kMessageList));
}

QString cell(const UtilityWindow& window, int row, int column) {
    const QAbstractItemModel* model = messageList(window)->model();
    return model->data(model->index(row, column)).toString();
}

int listRows(const UtilityWindow& window) {
    return messageList(window)->model()->rowCount();
}

// Identifiers of the rows the list shows.
std::set<QString> listedIds(const UtilityWindow& window) {
    std::set<QString> ids;
    for (int row = 0; row < listRows(window); ++row) ids.insert(cell(window, row, 2));
    return ids;
}

QString labelText(const UtilityWindow& window, ControlId id) {
    return qobject_cast<QLabel*>(window.control(id))->text();
}

bool saveScreenshot(QWidget& window, const char* path) {
    return window.grab().save(QString::fromUtf8(path));
}

// Slot 1 off (or back on) the default backplane's wire: alone, its frames meet no acknowledgement.
bool setDisconnected(bool off) {
    backplane::FaultRequest request{backplane::FaultKind::kBusDisconnect, 1, 0, off ? 1 : 0};
    std::snprintf(request.bus, sizeof request.bus, "%s", "can0");
    return backplane::inject_fault(request).has_value();
}

}  // namespace

class UtilityWindowTest : public QObject {
    Q_OBJECT

  private Q_SLOTS:
    void initializeThenSendKeepsTheTransmitLampGreen() {
        CApiModule library;
        RecordingBoxes boxes;
        UtilityWindow window(library, &boxes);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QCOMPARE(window.windowTitle(), QStringLiteral("K-5320W Utility Ver 1.05"));
        QVERIFY(!window.control(ControlId::kSend)->isEnabled());
        QVERIFY(lampImage(window, ControlId::kTxLamp).isNull());

        QCOMPARE(K5320_Init(kListenerSlot), K5320_SUCCESS);
        QCOMPARE(K5320_ConfigWithoutStruct(kListenerSlot, 0, kAcceptAll, kBaud125k, 0, 0),
                 K5320_SUCCESS);

        press(window, ControlId::kInitialize);
        QVERIFY2(boxes.shown.empty(), boxes.shown.empty() ? "" : boxes.shown[0].second.c_str());
        QCOMPARE(window.windowTitle(),
                 QStringLiteral("K-5320W Utility Ver 1.05, Filter[0,FFFFFFFF], Baud:125 kbps"));
        QVERIFY(window.control(ControlId::kSend)->isEnabled());
        const QImage green = lampPixmap(BitmapImage::kGreenLamp).toImage();
        QCOMPARE(lampImage(window, ControlId::kTxLamp), green);

        typeInto(window, ControlId::kId, QStringLiteral("123"));
        typeInto(window, ControlId::kLength, QStringLiteral("3"));
        typeInto(window, ControlId::kData, QStringLiteral("1 2  3"));
        press(window, ControlId::kSend);
        QVERIFY2(boxes.shown.empty(), boxes.shown.empty() ? "" : boxes.shown[0].second.c_str());

        const std::optional<Frame> frame = awaitFrame(kListenerSlot, 0x123);
        QVERIFY(frame.has_value());
        QCOMPARE(frame->extended, uint8_t{0});
        QCOMPARE(frame->remote, uint8_t{0});
        QCOMPARE(frame->length, uint8_t{3});
        QCOMPARE(frame->data[0], uint8_t{1});
        QCOMPARE(frame->data[1], uint8_t{2});
        QCOMPARE(frame->data[2], uint8_t{0});

        QTest::qWait(50);  // let polling ticks run with the frame on its way
        QCOMPARE(lampImage(window, ControlId::kTxLamp), green);
        QCOMPARE(lampImage(window, ControlId::kRxLamp), green);

        QCOMPARE(K5320_RestoreK5320(kListenerSlot), K5320_SUCCESS);
    }

    void demoNodeFramesAreListedCountedAndLogged() {
        CApiModule library;
        RecordingBoxes boxes;
        UtilityWindow window(library, &boxes);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        press(window, ControlId::kInitialize);
        QVERIFY(boxes.shown.empty());
        press(window, ControlId::kSaveToFile);
        QVERIFY(window.behaviour().state().log_open);
        const QString log_path = QString::fromStdString(window.behaviour().log_path());

        // All three of the demo node's frames: 0x321 comes once a second.
        const std::set<QString> demoIds{QStringLiteral("100"), QStringLiteral("18FF0001"),
                                        QStringLiteral("321")};
        QTRY_VERIFY_WITH_TIMEOUT(listedIds(window) == demoIds, 3000);
        QVERIFY2(boxes.shown.empty(), boxes.shown.empty() ? "" : boxes.shown[0].second.c_str());

        const int rows = listRows(window);
        for (int row = 0; row < rows; ++row) {
            QCOMPARE(cell(window, row, 0), QString::asprintf("%03d", row));
            const bool extended = cell(window, row, 2) == QStringLiteral("18FF0001");
            QCOMPARE(cell(window, row, 1),
                     extended ? QStringLiteral("2.0B") : QStringLiteral("2.0A"));
            QCOMPARE(cell(window, row, 3), QStringLiteral("N"));
            const int length = cell(window, row, 4).toInt();
            QCOMPARE(length, cell(window, row, 2) == QStringLiteral("321") ? 2 : 8);
            for (int column = 5; column < 13; ++column)
                QCOMPARE(cell(window, row, column).size(), column < 5 + length ? 2 : 0);
            QVERIFY(cell(window, row, 13).toULongLong() > 0);
        }
        // The newest row is in view, the counter counts at least what is listed.
        QTableView* list = messageList(window);
        QVERIFY(list->viewport()->rect().intersects(
            list->visualRect(list->model()->index(rows - 1, 0))));
        QVERIFY(labelText(window, ControlId::kCounterDisplay).toUInt() >=
                static_cast<unsigned>(rows));
        QCOMPARE(labelText(window, ControlId::kStatusDisplay), QStringLiteral("0x0C"));

        // Dec rewrites the cells already listed, without padding.
        const QString hex = cell(window, 0, 5);
        QCOMPARE(hex.size(), 2);
        press(window, ControlId::kFormatDec);
        QVERIFY(qobject_cast<QRadioButton*>(window.control(ControlId::kFormatDec))->isChecked());
        QCOMPARE(cell(window, 0, 5), QString::number(hex.toInt(nullptr, 16)));
        QVERIFY(window.grab().save(QStringLiteral(K5320_SCREENSHOT)));

        // Pause stops the list; Go starts it again.
        press(window, ControlId::kPause);
        QCOMPARE(qobject_cast<QPushButton*>(window.control(ControlId::kPause))->text(),
                 QStringLiteral("Go"));
        const int paused = listRows(window);
        QTest::qWait(250);
        QCOMPARE(listRows(window), paused);
        press(window, ControlId::kPause);
        QTRY_VERIFY_WITH_TIMEOUT(listRows(window) > paused, 1000);

        // The log holds a line for every message counted, in the format of its moment.
        press(window, ControlId::kSaveToFile);
        QVERIFY(!window.behaviour().state().log_open);
        const uint32_t counted = window.behaviour().state().rx_count;
        QFile file(log_path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QList<QByteArray> lines = file.readAll().split('\n');
        file.remove();
        QCOMPARE(lines.front(),
                 QByteArray("Mode,MsgID,RTR,DataLen,B0,B1,B2,B3,B4,B5,B6,B7,TimeStamp(0.1ms)\r"));
        QCOMPARE(lines.back(), QByteArray());  // the last line ends with CR LF too
        QVERIFY(lines.size() - 2 >= 1);
        QVERIFY(static_cast<uint32_t>(lines.size() - 2) <= counted);
        for (qsizetype i = 1; i + 1 < lines.size(); ++i) {
            QVERIFY(lines[i].endsWith('\r'));
            QCOMPARE(lines[i].count(','), 12);
            QVERIFY(lines[i].startsWith("2.0A,100,0,8,") || lines[i].startsWith("2.0A,321,0,2,") ||
                    lines[i].startsWith("2.0B,18ff0001,0,8,"));
        }
    }

    void transmitTimeoutIsShownOnceWhilePollingGoesOn() {
        CApiModule library;
        RecordingBoxes boxes;
        UtilityWindow window(library, &boxes);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        press(window, ControlId::kInitialize);
        const auto& state = window.behaviour().state();
        QTRY_VERIFY(state.rx_count > 0);
        uint32_t countedWhileOpen = 0;
        boxes.whileOpen = [&] {
            // A modal box runs the event loop: the demo node's 0x100 comes every 100 ms.
            const uint32_t before = state.rx_count;
            QTest::qWait(400);
            countedWhileOpen = state.rx_count - before;
        };

        emulator::ModuleProbe(*backplane::in_process_host().module(1)).set_tx_timeout_flag(true);
        QTRY_COMPARE(boxes.shown.size(), std::size_t{1});
        QCOMPARE(boxes.shown[0].first, std::string("Error"));
        QCOMPARE(boxes.shown[0].second, std::string("Transmit message fail."));
        QVERIFY2(countedWhileOpen >= 2, std::to_string(countedWhileOpen).c_str());
        QTest::qWait(50);
        QCOMPARE(boxes.shown.size(), std::size_t{1});  // once per change, not per tick
        QVERIFY(state.polling_active);
        emulator::ModuleProbe(*backplane::in_process_host().module(1)).set_tx_timeout_flag(false);
    }

    void clearPollsTheSlotInitialisedLastAndItsFailureStopsPolling() {
        CApiModule library;
        RecordingBoxes boxes;
        UtilityWindow window(library, &boxes);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        // Before any Initialize there is no slot: the library is given 255.
        press(window, ControlId::kClear);
        QTRY_COMPARE(boxes.shown.size(), std::size_t{1});
        QCOMPARE(boxes.shown[0].first, std::string("Error"));
        QCOMPARE(boxes.shown[0].second, std::string("Get Status Error, Error Code=3"));
        QVERIFY(!window.behaviour().state().polling_active);
        QTest::qWait(20);
        QCOMPARE(boxes.shown.size(), std::size_t{1});

        // After a change of slot the module initialised last has been released.
        press(window, ControlId::kInitialize);
        QCOMPARE(boxes.shown.size(), std::size_t{1});
        auto* slotList = qobject_cast<QComboBox*>(window.control(ControlId::kSlot));
        QTest::keyClick(slotList, Qt::Key_Down);
        QCOMPARE(slotList->currentText(), QStringLiteral(" Slot 2"));
        QVERIFY(!window.behaviour().state().polling_active);
        press(window, ControlId::kClear);
        QTRY_COMPARE(boxes.shown.size(), std::size_t{2});
        QCOMPARE(boxes.shown[1].second, std::string("Get Status Error, Error Code=41"));
        QVERIFY(!window.behaviour().state().polling_active);
    }

    void theWindowGrowsItsListAndKeepsTheTemplateAtItsSmallestSize() {
        CApiModule library;
        RecordingBoxes boxes;
        UtilityWindow window(library, &boxes);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QCOMPARE(window.size(), window.minimumSize());
        QTableView* list = messageList(window);
        const QRect listAtTemplate = list->geometry();
        const QRect initializeAt = window.control(ControlId::kInitialize)->geometry();
        const QRect softKeyboardAt = window.control(ControlId::kSoftKeyboard)->geometry();
        const QRect sendAt = window.control(ControlId::kSend)->geometry();
        const QRect saveAt = window.control(ControlId::kSaveToFile)->geometry();
        press(window, ControlId::kInitialize);
        QVERIFY(boxes.shown.empty());
        QCOMPARE(window.statusText(StatusField::kSettings),
                 QStringLiteral("Filter[0,FFFFFFFF], Baud:125 kbps"));
        QVERIFY(saveScreenshot(window, K5320_SCREENSHOT_TEMPLATE_SIZE));

        window.resize(1024, 768);
        QTRY_COMPARE(window.size(), QSize(1024, 768));
        const QSize grown = window.size() - window.minimumSize();
        QCOMPARE(list->geometry(), listAtTemplate.adjusted(0, 0, grown.width(), grown.height()));
        QCOMPARE(window.control(ControlId::kInitialize)->geometry(), initializeAt);
        QCOMPARE(window.control(ControlId::kSoftKeyboard)->geometry(), softKeyboardAt);
        QCOMPARE(window.control(ControlId::kSend)->geometry(),
                 sendAt.translated(0, grown.height()));
        QCOMPARE(window.control(ControlId::kSaveToFile)->geometry(),
                 saveAt.translated(0, grown.height()));
        // Every heading fits its column, and the time stamps' column ends inside the view.
        const QHeaderView* header = list->horizontalHeader();
        const QFontMetrics headings(header->font());
        for (int column = 0; column < header->count(); ++column) {
            const QString heading = list->model()->headerData(column, Qt::Horizontal).toString();
            QVERIFY2(header->sectionSize(column) > headings.horizontalAdvance(heading),
                     qPrintable(heading));
        }
        QVERIFY(header->sectionViewportPosition(13) + header->sectionSize(13) <=
                list->viewport()->width());

        // A full list: more rows than the view shows.
        const int shownRows =
            list->viewport()->height() / list->verticalHeader()->defaultSectionSize();
        QTRY_VERIFY_WITH_TIMEOUT(listRows(window) > shownRows, 10000);
        QVERIFY(saveScreenshot(window, K5320_SCREENSHOT_GROWN));
    }

    void theViewPerIdentifierShowsTheDemoTrafficInTheListsPlace() {
        CApiModule library;
        RecordingBoxes boxes;
        UtilityWindow window(library, &boxes);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        press(window, ControlId::kInitialize);
        QTest::mouseClick(window.identifierToggle(), Qt::LeftButton);
        QTableView* view = window.identifierView();
        QVERIFY(view->isVisible());
        QVERIFY(!messageList(window)->isVisible());
        QCOMPARE(view->geometry(), messageList(window)->geometry());

        // 0x321 comes once a second: two of them give it a cycle time.
        const QAbstractItemModel* model = view->model();
        const auto countOf = [&](const QString& id) {
            for (int row = 0; row < model->rowCount(); ++row)
                if (model->data(model->index(row, 0)).toString() == id)
                    return model->data(model->index(row, 2)).toInt();
            return 0;
        };
        QTRY_VERIFY_WITH_TIMEOUT(countOf(QStringLiteral("321")) >= 2, 5000);
        QCOMPARE(model->rowCount(), 3);
        QVERIFY(countOf(QStringLiteral("100")) > countOf(QStringLiteral("321")));
        QVERIFY(countOf(QStringLiteral("18FF0001")) > 0);
        QVERIFY(saveScreenshot(window, K5320_SCREENSHOT_PER_ID));

        QTest::mouseClick(window.identifierToggle(), Qt::LeftButton);
        QVERIFY(messageList(window)->isVisible());
        QVERIFY(!view->isVisible());
    }

    void busHealthFollowsAModuleDrivenToErrorPassive() {
        CApiModule library;
        RecordingBoxes boxes;
        UtilityWindow window(library, &boxes);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        press(window, ControlId::kInitialize);
        QTRY_VERIFY_WITH_TIMEOUT(window.statusText(StatusField::kBusHealth)
                                     .startsWith(QStringLiteral("error active, REC 0, TEC 0, ")),
                                 3000);
        QVERIFY(window.statusText(StatusField::kBusHealth).contains(QStringLiteral("load")));

        // Alone on the wire, a frame meets no acknowledgement: the transmit counter climbs to
        // the passive limit and stays there.
        QVERIFY(setDisconnected(true));
        press(window, ControlId::kSend);
        QTRY_VERIFY_WITH_TIMEOUT(window.statusText(StatusField::kBusHealth)
                                     .startsWith(QStringLiteral("error passive, REC 0, TEC 128")),
                                 5000);
        QVERIFY(saveScreenshot(window, K5320_SCREENSHOT_BUS_HEALTH));
        QVERIFY(setDisconnected(false));
    }

    void softKeyboardIsDisabledWhereNoInputPanelExists() {
        CApiModule library;
        UtilityWindow window(library);
        // The offscreen platform has no input panel.
        QVERIFY(!window.control(ControlId::kSoftKeyboard)->isEnabled());
        QVERIFY(!window.control(ControlId::kSoftKeyboard)->toolTip().isEmpty());
    }

    void initializeOnAnEmptySlotIsReportedThroughTheBoxes() {
        CApiModule library;
        RecordingBoxes boxes;
        UtilityWindow window(library, &boxes);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));

        auto* slotList = qobject_cast<QComboBox*>(window.control(ControlId::kSlot));
        QCOMPARE(slotList->currentText(), QStringLiteral(" Slot 1"));
        QTest::keyClick(slotList, Qt::Key_Down);
        QTest::keyClick(slotList, Qt::Key_Down);
        QCOMPARE(slotList->currentText(), QStringLiteral(" Slot 3"));

        press(window, ControlId::kInitialize);
        QCOMPARE(boxes.shown.size(), std::size_t{1});
        QCOMPARE(boxes.shown[0].first, std::string("Error"));
        QCOMPARE(boxes.shown[0].second, std::string("Initiate Error, Error Code=3"));
        QCOMPARE(window.windowTitle(), QStringLiteral("K-5320W Utility Ver 1.05"));
        QVERIFY(!window.control(ControlId::kSend)->isEnabled());
        QVERIFY(lampImage(window, ControlId::kTxLamp).isNull());
    }
};

}  // namespace k5320::utility

int main(int argc, char** argv) {
    // The default backplane, and a slot table and event namespace of this process alone, so
    // tests running side by side never meet.
    unsetenv("TARN_BACKPLANE_CONFIG");
    const std::string ownTable = "utility-test-" + std::to_string(getpid());
    k5320::driver::ownership::use_table_for_test(ownTable);
    k5320::platform::NamedEvent::use_namespace_for_test(ownTable);

    QApplication application(argc, argv);
    k5320::utility::UtilityWindowTest test;
    const int failures = QTest::qExec(&test, argc, argv);
    k5320::driver::ownership::remove_test_table();
    return failures;
}

#include "utility_window_test.moc"

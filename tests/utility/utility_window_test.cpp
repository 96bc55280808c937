// The real main dialog on the offscreen platform against the emulated backplane: slot 1 is set
// up with Initialize, a frame typed into the send boxes reaches the module in slot 2, and the
// transmit lamp stays green. Leaves a screenshot of the dialog in the build folder.
#include <stdlib.h>
#include <unistd.h>

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <array>
#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "driver/frame/slot_ownership.h"
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
    void show(std::string_view caption, std::string_view text) override {
        shown.emplace_back(caption, text);
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

}  // namespace

class UtilityWindowTest : public QObject {
    Q_OBJECT

  private slots:
    void initializeThenSendKeepsTheTransmitLampGreen() {
        CApiModule library;
        RecordingBoxes boxes;
        UtilityWindow window(library, &boxes);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QCOMPARE(window.windowTitle(), QStringLiteral("K-5320W Utility Ver 1.05"));
        QVERIFY(!window.control(ControlId::Send)->isEnabled());
        QVERIFY(lampImage(window, ControlId::TxLamp).isNull());

        QCOMPARE(K5320_Init(kListenerSlot), K5320_SUCCESS);
        QCOMPARE(K5320_ConfigWithoutStruct(kListenerSlot, 0, kAcceptAll, kBaud125k, 0, 0),
                 K5320_SUCCESS);

        press(window, ControlId::Initialize);
        QVERIFY2(boxes.shown.empty(), boxes.shown.empty() ? "" : boxes.shown[0].second.c_str());
        QCOMPARE(window.windowTitle(),
                 QStringLiteral("K-5320W Utility Ver 1.05, Filter[0,FFFFFFFF], Baud:125 kbps"));
        QVERIFY(window.control(ControlId::Send)->isEnabled());
        const QImage green = lampPixmap(BitmapImage::GreenLamp).toImage();
        QCOMPARE(lampImage(window, ControlId::TxLamp), green);

        typeInto(window, ControlId::Id, QStringLiteral("123"));
        typeInto(window, ControlId::Length, QStringLiteral("3"));
        typeInto(window, ControlId::Data, QStringLiteral("1 2  3"));
        press(window, ControlId::Send);
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
        QCOMPARE(lampImage(window, ControlId::TxLamp), green);
        QCOMPARE(lampImage(window, ControlId::RxLamp), green);
        QVERIFY(window.grab().save(QStringLiteral(K5320_SCREENSHOT)));

        QCOMPARE(K5320_RestoreK5320(kListenerSlot), K5320_SUCCESS);
    }

    void initializeOnAnEmptySlotIsReportedThroughTheBoxes() {
        CApiModule library;
        RecordingBoxes boxes;
        UtilityWindow window(library, &boxes);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));

        auto* slotList = qobject_cast<QComboBox*>(window.control(ControlId::Slot));
        QCOMPARE(slotList->currentText(), QStringLiteral(" Slot 1"));
        QTest::keyClick(slotList, Qt::Key_Down);
        QTest::keyClick(slotList, Qt::Key_Down);
        QCOMPARE(slotList->currentText(), QStringLiteral(" Slot 3"));

        press(window, ControlId::Initialize);
        QCOMPARE(boxes.shown.size(), std::size_t{1});
        QCOMPARE(boxes.shown[0].first, std::string("Error"));
        QCOMPARE(boxes.shown[0].second, std::string("Initiate Error, Error Code=3"));
        QCOMPARE(window.windowTitle(), QStringLiteral("K-5320W Utility Ver 1.05"));
        QVERIFY(!window.control(ControlId::Send)->isEnabled());
        QVERIFY(lampImage(window, ControlId::TxLamp).isNull());
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

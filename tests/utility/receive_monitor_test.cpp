// The receive monitor without a screen: the polling tick and its failures, the message list
// with its numbering, wrap and format conversions, Pause/Clear/Show-on-list, and the log file.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "can/frame_length.h"
#include "k5320/sja1000_registers.h"
#include "k5320_result.h"
#include "k5320_result_text.h"
#include "tests/utility/fake_dialog_parts.h"
#include "utility/main/utility_dialog.h"

namespace k5320::utility::test {
namespace {

using C = ControlId;
using Calls = std::vector<std::string>;
using Rows = std::vector<std::string>;

constexpr const char* kLogPath = "/opt/k5320/20240309_070503.txt";
constexpr const char* kHeader =
    "Mode,MsgID,RTR,DataLen,B0,B1,B2,B3,B4,B5,B6,B7,TimeStamp(0.1ms)\r\n";

ReceivedMessage frame(uint32_t id, std::vector<uint8_t> bytes, uint32_t time = 0) {
    ReceivedMessage message;
    message.id = id;
    message.length = static_cast<uint8_t>(bytes.size());
    std::copy(bytes.begin(), bytes.end(), message.data.begin());
    message.time_low = time;
    return message;
}

class ReceiveMonitorTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dialog.start();
        dialog.initialize();
        module.calls.clear();
    }

    // A tick, and the window's refresh after it.
    void tick() {
        dialog.poll_tick();
        dialog.refresh_view();
    }

    void arrive(const ReceivedMessage& message, int times = 1) {
        for (int i = 0; i < times; ++i) module.waiting.push_back(message);
    }

    Rows rows() const {
        Rows shown;
        for (int i = 0; i < view.list->size(); ++i) shown.push_back(view.row(i));
        return shown;
    }

    void check(C id, bool on) {
        view.checked[id] = on;
        if (id == C::kSaveToFile) dialog.save_to_file_clicked();
        if (id == C::kShowOnList) dialog.show_on_list_clicked();
    }

    std::string log() const {
        return files.files.contains(kLogPath) ? files.files.at(kLogPath) : "";
    }

    void expectNotInitialisedView() const {
        EXPECT_FALSE(view.enabled(C::kSend));
        EXPECT_EQ(view.texts.at(C::kStatusDisplay), "****");
        EXPECT_EQ(view.texts.at(C::kCounterDisplay), "**********");
        EXPECT_FALSE(view.timerRunning);
        EXPECT_FALSE(dialog.state().polling_active);
    }

    FakeView view;
    FakeModule module;
    FakeBoxes boxes;
    FakeFiles files;
    UtilityDialog dialog{view, module, boxes, files};
};

TEST_F(ReceiveMonitorTest, ATickReadsStatusFlagAndCountThenListsAndCountsEveryMessage) {
    module.statusByte = 0x4C;
    arrive(frame(0x3FF, {0x0A, 0xFF}, 12345));
    view.listChanges.changes.clear();

    dialog.poll_tick();
    EXPECT_EQ(module.calls,
              (Calls{"status(1)", "is_tx_timeout(1)", "rx_msg_count(1)", "receive(1)"}));
    EXPECT_EQ(view.texts[C::kStatusDisplay], "0x4C");
    EXPECT_EQ(dialog.state().rx_count, 1u);
    EXPECT_EQ(dialog.state().row_count, 1);
    arrive(frame(0x100, {1}, 12346));
    dialog.poll_tick();
    // Rows and count wait for the window's refresh, which brings them in one insertion and
    // scrolls the newest row into view.
    EXPECT_EQ(view.list->size(), 0);
    EXPECT_EQ(view.texts[C::kCounterDisplay], "0000000000");
    dialog.refresh_view();
    EXPECT_EQ(rows(),
              (Rows{"000,2.0A,3FF,N,2,0A,FF,,,,,,,12345", "001,2.0A,100,N,1,01,,,,,,,,12346"}));
    EXPECT_EQ(view.texts[C::kCounterDisplay], "0000000002");
    EXPECT_EQ(view.listChanges.changes, (std::vector<std::string>{"insert 0+2"}));
    EXPECT_EQ(view.scrolls, (std::vector<int>{1}));

    // A tick with nothing waiting ends after the count; nothing more is written.
    module.calls.clear();
    const int statusWrites = view.statusWrites;
    view.texts[C::kCounterDisplay] = "untouched";
    tick();
    EXPECT_EQ(module.calls, (Calls{"status(1)", "is_tx_timeout(1)", "rx_msg_count(1)"}));
    EXPECT_EQ(view.statusWrites, statusWrites);
    EXPECT_EQ(view.texts[C::kCounterDisplay], "untouched");
    EXPECT_EQ(view.scrolls.size(), 1u);
    EXPECT_TRUE(boxes.shown.empty());

    // A count that was never shown does not overwrite the placeholder of a reset view.
    arrive(frame(0x100, {1}));
    dialog.poll_tick();
    dialog.reset_module_view();
    dialog.refresh_view();
    EXPECT_EQ(view.texts[C::kCounterDisplay], "**********");
    EXPECT_EQ(view.list->size(), 3);
}

struct PollFailure {
    const char* call;
    const char* message;
};

class PollReadFailure : public ReceiveMonitorTest,
                        public ::testing::WithParamInterface<PollFailure> {};

TEST_P(PollReadFailure, ReturnsToTheNotInitialisedViewBeforeTheBoxAndEndsTheTick) {
    arrive(frame(0x100, {1}));
    module.results[GetParam().call] = K5320_ERR_NOT_INITIALIZED;
    boxes.whileOpen = [&] { expectNotInitialisedView(); };
    tick();
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(boxes.shown[0].caption, "Error");
    EXPECT_EQ(boxes.shown[0].text, std::string(GetParam().message) + ", Error Code=41");
    EXPECT_EQ(module.calls.back(), std::string(GetParam().call) + "(1)");
    EXPECT_EQ(module.waiting.size(), 1u);
    expectNotInitialisedView();
}

INSTANTIATE_TEST_SUITE_P(EachRead, PollReadFailure,
                         ::testing::Values(PollFailure{"status", "Get Status Error"},
                                           PollFailure{"is_tx_timeout", "Get Tx status Error"},
                                           PollFailure{"rx_msg_count", "Get Message Count Error"}),
                         [](const ::testing::TestParamInfo<PollFailure>& failure) {
                             return std::string(failure.param.call);
                         });

TEST_F(ReceiveMonitorTest, AFailingReceiveStopsPollingFirstAndKeepsTheWindowInitialised) {
    arrive(frame(0x100, {1}), 3);
    module.receiveResults = {0, K5320_ERR_NO_ANSWER};
    bool pollingWhileOpen = true;
    std::string counterWhileOpen;
    boxes.whileOpen = [&] {
        pollingWhileOpen = view.timerRunning || dialog.state().polling_active;
        counterWhileOpen = view.texts[C::kCounterDisplay];
    };
    tick();

    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(boxes.shown[0].caption, "K5320W_Utility");  // the program file's name
    EXPECT_EQ(boxes.shown[0].text, "Test fail, Ret=23");
    EXPECT_FALSE(pollingWhileOpen);
    EXPECT_EQ(counterWhileOpen, "0000000001");  // the message before the failure is counted
    EXPECT_EQ(rows().size(), 1u);
    EXPECT_EQ(module.waiting.size(), 2u);  // the rest stays in the library
    EXPECT_TRUE(view.enabled(C::kSend));
    EXPECT_EQ(view.texts[C::kStatusDisplay], "0x0C");

    // Pause resumes polling, which reads what was left.
    dialog.pause();
    EXPECT_TRUE(view.timerRunning);
    tick();
    EXPECT_EQ(dialog.state().rx_count, 3u);
}

TEST_F(ReceiveMonitorTest, AReceiveOverflowTurnsTheLampRedAndHoldsEverythingUntilClearStatus) {
    check(C::kSaveToFile, true);
    arrive(frame(0x100, {1}), 4);
    module.receiveResults = {K5320_RX_DELIVERED_AFTER_OVERFLOW};
    tick();
    tick();
    EXPECT_EQ(view.lamps[C::kRxLamp], BitmapImage::kRedLamp);
    EXPECT_EQ(view.lamps[C::kTxLamp], BitmapImage::kGreenLamp);
    EXPECT_EQ(dialog.state().rx_count, 0u);
    EXPECT_EQ(view.texts[C::kCounterDisplay], "0000000000");
    EXPECT_EQ(view.list->size(), 0);
    EXPECT_EQ(log(), kHeader);
    EXPECT_TRUE(module.waiting.empty());  // delivered by the library, dropped by the monitor
    EXPECT_TRUE(boxes.shown.empty());

    dialog.clear_status();
    EXPECT_EQ(view.lamps[C::kRxLamp], BitmapImage::kGreenLamp);
    arrive(frame(0x100, {1}));
    tick();
    EXPECT_EQ(dialog.state().rx_count, 1u);
    EXPECT_EQ(view.list->size(), 1);
    EXPECT_EQ(log(), std::string(kHeader) + "2.0A,100,0,1,1,0,0,0,0,0,0,0,0\r\n");
}

TEST_F(ReceiveMonitorTest, TransmitTimeoutIsReportedOncePerChangeWhilePollingGoesOn) {
    module.tx_timeout = 1;
    dialog.poll_tick();
    // The box waits for the event loop, so the tick has finished and the timer keeps running.
    EXPECT_TRUE(boxes.shown.empty());
    EXPECT_TRUE(view.timerRunning);
    int ticksWhileOpen = 0;
    boxes.whileOpen = [&] {
        dialog.poll_tick();
        dialog.poll_tick();
        ++ticksWhileOpen;
    };
    view.runPosted();
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(boxes.shown[0].caption, "Error");
    EXPECT_EQ(boxes.shown[0].text, "Transmit message fail.");
    view.runPosted();
    EXPECT_EQ(boxes.shown.size(), 1u);  // the ticks while it was open saw no change

    module.tx_timeout = 0;
    tick();
    module.tx_timeout = 2;
    tick();
    view.runPosted();
    EXPECT_EQ(boxes.shown.size(), 2u);
    EXPECT_EQ(ticksWhileOpen, 2);
}

TEST_F(ReceiveMonitorTest, TransmitFailIsNotShownOncePollingStoppedForAnotherError) {
    // The module is lost: the flag reads set, then the count read of the same tick fails.
    module.tx_timeout = 1;
    module.results["rx_msg_count"] = K5320_ERR_NOT_INITIALIZED;
    dialog.poll_tick();
    view.runPosted();
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(boxes.shown[0].text, "Get Message Count Error, Error Code=41");

    // Paused with the box still waiting: nothing once polling has stopped either.
    module.results.clear();
    dialog.initialize();
    module.tx_timeout = 0;
    tick();
    module.tx_timeout = 1;
    dialog.poll_tick();
    dialog.pause();
    view.runPosted();
    EXPECT_EQ(boxes.shown.size(), 1u);
}

TEST_F(ReceiveMonitorTest, BusHealthShowsStateCountersRateAndLoadFromExactFrameLengths) {
    module.registers[sja1000::SJA1000_RXERR] = 3;
    module.registers[sja1000::SJA1000_TXERR] = 128;
    ReceivedMessage extended = frame(0x18FF0001, {0xAA});
    extended.mode = 1;
    arrive(frame(0x100, {1, 2, 3, 4, 5, 6, 7, 8}), 100);
    arrive(extended, 50);
    while (!module.waiting.empty()) tick();
    dialog.update_bus_health(0.5);
    can::Frame standard_wire{0x100, false, false, 8, {1, 2, 3, 4, 5, 6, 7, 8}};
    can::Frame extended_wire{0x18FF0001, true, false, 1, {0xAA}};
    const double bits =
        100.0 * can::frame_bit_length(standard_wire) + 50.0 * can::frame_bit_length(extended_wire);
    char expected[128];
    std::snprintf(expected, sizeof expected,
                  "error passive, REC 3, TEC 128, 300 frames/s, load %.1f %%",
                  100 * bits / (0.5 * 125000));
    EXPECT_EQ(view.status[StatusField::kBusHealth], expected);

    // A quiet second counts from zero; the status byte's bus-off bit wins over the counters.
    module.statusByte = sja1000::SR_BS;
    tick();
    dialog.update_bus_health(1.0);
    EXPECT_EQ(view.status[StatusField::kBusHealth],
              "bus-off, REC 3, TEC 128, 0 frames/s, load 0.0 %");

    module.results["read_register"] = K5320_ERR_NOT_INITIALIZED;
    dialog.update_bus_health(1.0);
    EXPECT_EQ(view.status[StatusField::kBusHealth],
              std::string("error counters not readable: ") +
                  k5320_result_meaning(K5320_ERR_NOT_INITIALIZED) + " (result 41)");
    EXPECT_TRUE(dialog.state().polling_active);  // the monitor itself goes on

    // Stopped polling reads nothing; a user-defined timing has no known rate, so no load.
    dialog.pause();
    module.calls.clear();
    dialog.update_bus_health(1.0);
    EXPECT_TRUE(module.calls.empty());
    module.results.clear();
    module.statusByte = 0x0C;
    view.selected[C::kBaud] = kUserDefinedBaud;
    dialog.initialize();
    tick();
    dialog.update_bus_health(1.0);
    EXPECT_EQ(view.status[StatusField::kBusHealth], "error passive, REC 3, TEC 128, 0 frames/s");
}

TEST_F(ReceiveMonitorTest, TheViewPerIdentifierTakesEachRefreshsFramesAndEmptiesWithTheList) {
    check(C::kShowOnList, false);  // the view counts what the list does not show
    arrive(frame(0x100, {1}, 0), 3);
    arrive(frame(0x200, {2}, 0));
    dialog.poll_tick();
    dialog.poll_tick();
    EXPECT_EQ(view.identifiers->size(), 0);  // until the refresh
    dialog.refresh_view();
    ASSERT_EQ(view.identifiers->size(), 2);
    EXPECT_EQ(view.identifiers->row(0).count, 3u);
    dialog.clear_list();
    EXPECT_EQ(view.identifiers->size(), 0);
    arrive(frame(0x300, {3}, 0));
    dialog.poll_tick();
    dialog.initialize();  // a new set-up starts the view afresh
    dialog.refresh_view();
    EXPECT_EQ(view.identifiers->size(), 0);
}

TEST_F(ReceiveMonitorTest, ClearBeforeAnyInitializePollsSlot255AndItsFailureStopsPolling) {
    FakeView freshView;
    FakeModule freshModule;
    UtilityDialog fresh(freshView, freshModule, boxes, files);
    fresh.start();
    fresh.clear_list();
    EXPECT_TRUE(freshView.timerRunning);
    freshModule.results["status"] = K5320_ERR_BAD_SLOT;
    fresh.poll_tick();
    EXPECT_EQ(freshModule.calls.back(), "status(255)");
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(boxes.shown[0].text, "Get Status Error, Error Code=3");
    EXPECT_FALSE(freshView.timerRunning);
}

TEST_F(ReceiveMonitorTest, TheThousandthRowEmptiesTheListAndNumberingStartsAgain) {
    // 7 messages a tick: the wrap falls inside a tick.
    for (int n = 0; n < 143; ++n) {
        arrive(frame(0x100, {static_cast<uint8_t>(n)}), 7);
        tick();
    }
    // 1001 rows arrived: the 1000th (999) emptied the list, the 1001st is 000 again.
    EXPECT_EQ(dialog.state().rx_count, 1001u);
    EXPECT_EQ(view.list->size(), 1);
    EXPECT_EQ(dialog.state().row_count, 1);
    EXPECT_TRUE(view.row(0).starts_with("000,"));
    EXPECT_EQ(view.listChanges.count("clear"), 1);
    EXPECT_EQ(view.listChanges.count("insert"), 143);  // one per refresh, never one per row
    EXPECT_EQ(view.listChanges.unconfirmed, 0);

    // Clear empties the list and starts polling, from 000 again.
    dialog.pause();
    dialog.clear_list();
    EXPECT_EQ(view.list->size(), 0);
    EXPECT_EQ(dialog.state().row_count, 0);
    EXPECT_TRUE(view.timerRunning);
    arrive(frame(0x321, {}));
    tick();
    EXPECT_TRUE(view.row(0).starts_with("000,2.0A,321"));
}

TEST_F(ReceiveMonitorTest, AfterReinitialisingNewRowsGoAboveTheOldOnesAndOnlyTheyAreConverted) {
    arrive(frame(0x100, {0x0A}), 2);
    tick();
    dialog.reset_module_view();
    EXPECT_EQ(view.list->size(), 2);  // rows stay
    dialog.initialize();
    arrive(frame(0x200, {0x0B}));
    tick();
    EXPECT_EQ(rows(), (Rows{"000,2.0A,200,N,1,0B,,,,,,,,0", "000,2.0A,100,N,1,0A,,,,,,,,0",
                            "001,2.0A,100,N,1,0A,,,,,,,,0"}));
    EXPECT_EQ(view.scrolls.back(), 0);

    dialog.format_chosen(DisplayMode::kDec);
    EXPECT_EQ(view.list->cell(0, kFirstDataColumn), "11");
    EXPECT_EQ(view.list->cell(1, kFirstDataColumn), "0A");

    // However often the module is set up again, the list holds at most 1000 rows; the oldest
    // leave first.
    for (int run = 0; run < 3; ++run) {
        arrive(frame(0x300 + run, {1}), 400);
        for (int i = 0; i < 7; ++i) tick();
        dialog.reset_module_view();
        dialog.initialize();
    }
    EXPECT_EQ(view.list->size(), kMessageListCapacity);
    EXPECT_EQ(view.listChanges.unconfirmed, 0);
    EXPECT_TRUE(view.row(0).starts_with("000,2.0A,302"));
    // Of the earliest runs only the last 200 rows of the second are left.
    EXPECT_TRUE(view.row(999).starts_with("400,2.0A,300"));
    EXPECT_TRUE(view.row(800).starts_with("201,2.0A,300"));
}

TEST_F(ReceiveMonitorTest, FormatChangesConvertExistingCellsAndNewRowsKeepTheirPadding) {
    arrive(frame(0x100, {0x0A, 0x00, 0x41}));
    tick();
    const auto dataCells = [&](int row) {
        std::string text;
        for (int column = kFirstDataColumn; column < kFirstDataColumn + 3; ++column)
            text += "[" + std::string(view.list->cell(row, column)) + "]";
        return text;
    };
    EXPECT_EQ(dataCells(0), "[0A][00][41]");
    dialog.format_chosen(DisplayMode::kDec);
    EXPECT_EQ(dataCells(0), "[10][0][65]");
    dialog.format_chosen(DisplayMode::kHex);
    EXPECT_EQ(dataCells(0), "[A][0][41]");
    const std::size_t changes = view.listChanges.changes.size();
    dialog.format_chosen(DisplayMode::kHex);  // the format it already has: nothing happens
    EXPECT_EQ(view.listChanges.changes.size(), changes);

    dialog.format_chosen(DisplayMode::kAscii);
    EXPECT_EQ(dataCells(0), "[\n][][A]");  // the 0 byte is an empty cell now
    arrive(frame(0x100, {0x0A, 0x00, 0x41}));
    tick();
    EXPECT_EQ(dataCells(1), "[\n][][A]");
    dialog.format_chosen(DisplayMode::kDec);
    EXPECT_EQ(dataCells(0), "[10][][65]");  // the empty cell is skipped
    arrive(frame(0x100, {0x0A, 0x00, 0x41}));
    tick();
    EXPECT_EQ(dataCells(2), "[010][000][065]");
}

TEST_F(ReceiveMonitorTest, WithoutShowOnListMessagesAreCountedAndLoggedButNotListed) {
    arrive(frame(0x100, {1}));
    tick();
    check(C::kShowOnList, false);
    check(C::kSaveToFile, true);
    arrive(frame(0x200, {2}), 2);
    tick();
    EXPECT_EQ(dialog.state().rx_count, 3u);
    EXPECT_EQ(view.texts[C::kCounterDisplay], "0000000003");
    EXPECT_EQ(view.list->size(), 1);  // the row listed before stays
    EXPECT_EQ(log(), std::string(kHeader) + "2.0A,200,0,1,2,0,0,0,0,0,0,0,0\r\n" +
                         "2.0A,200,0,1,2,0,0,0,0,0,0,0,0\r\n");
    check(C::kShowOnList, true);
    arrive(frame(0x300, {3}));
    tick();
    EXPECT_TRUE(view.row(1).starts_with("001,2.0A,300"));
}

TEST_F(ReceiveMonitorTest, PauseAndGoSwitchPollingAndOnlyPauseChangesItsCaption) {
    dialog.pause();
    EXPECT_EQ(view.texts[C::kPause], "Go");
    EXPECT_FALSE(view.timerRunning);
    dialog.reset_counter();  // starts polling, caption unchanged
    EXPECT_TRUE(view.timerRunning);
    EXPECT_EQ(view.texts[C::kPause], "Go");
    dialog.pause();
    EXPECT_EQ(view.texts[C::kPause], "Go");
    EXPECT_FALSE(view.timerRunning);
    dialog.pause();
    EXPECT_EQ(view.texts[C::kPause], "Pause");
    EXPECT_TRUE(view.timerRunning);
}

TEST_F(ReceiveMonitorTest, TheLogFileIsNamedFromTheTimeAndTakesTheFormatOfEachMoment) {
    check(C::kSaveToFile, true);
    EXPECT_TRUE(dialog.state().log_open);
    EXPECT_EQ(dialog.log_path(), kLogPath);
    EXPECT_EQ(log(), kHeader);

    ReceivedMessage late = frame(0x3FF, {0x0A, 0xFF});
    late.time_high = 1;
    late.time_low = 5;
    arrive(late);
    tick();
    EXPECT_EQ(view.list->cell(0, kTimeColumn), "4294967301");
    ReceivedMessage remote = frame(0x7FF, {});
    remote.rtr = 1;
    remote.length = 2;
    arrive(remote);
    tick();
    dialog.format_chosen(DisplayMode::kDec);
    arrive(frame(0x3FF, {0x0A, 0xFF}, 12345));
    tick();
    EXPECT_EQ(log(), std::string(kHeader) + "2.0A,3ff,0,2,a,ff,0,0,0,0,0,0,4294967301\r\n" +
                         "2.0A,7ff,1,2,0,0,0,0,0,0,0,0,0\r\n" +
                         "2.0A,3ff,0,2,10,255,0,0,0,0,0,0,12345\r\n");

    // A slot change leaves the file open; unchecking closes it, and nothing more is written.
    view.selected[C::kSlot] = 3;
    dialog.slot_chosen();
    EXPECT_TRUE(dialog.state().log_open);
    EXPECT_EQ(files.openFiles, 1);
    check(C::kSaveToFile, false);
    EXPECT_FALSE(dialog.state().log_open);
    EXPECT_EQ(files.openFiles, 0);

    // Checked again a second later: a new file.
    files.time.second = 4;
    check(C::kSaveToFile, true);
    EXPECT_EQ(dialog.log_path(), "/opt/k5320/20240309_070504.txt");
    dialog.destroyed();
    EXPECT_EQ(files.openFiles, 0);
    EXPECT_FALSE(dialog.state().log_open);
}

TEST_F(ReceiveMonitorTest, TheLogGoesToTheHomeFolderWhenTheProgramsFolderIsNotWritable) {
    files.readOnlyFolder = "/opt/k5320/";
    check(C::kSaveToFile, true);
    EXPECT_TRUE(boxes.shown.empty());
    EXPECT_TRUE(dialog.state().log_open);
    EXPECT_EQ(dialog.log_path(), "/home/operator/20240309_070503.txt");
    EXPECT_EQ(view.status[StatusField::kLogFile], "Log: /home/operator/20240309_070503.txt");
    arrive(frame(0x100, {1}));
    tick();
    EXPECT_EQ(files.files["/home/operator/20240309_070503.txt"],
              std::string(kHeader) + "2.0A,100,0,1,1,0,0,0,0,0,0,0,0\r\n");
    check(C::kSaveToFile, false);
    EXPECT_EQ(view.status[StatusField::kLogFile], "");
}

TEST_F(ReceiveMonitorTest, AFileThatCannotBeCreatedIsReportedAndLogsNothingUntilCheckedAgain) {
    files.createFails = true;
    check(C::kSaveToFile, true);
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(boxes.shown[0].caption, "K5320W_Utility");
    // The box names each place tried.
    EXPECT_EQ(boxes.shown[0].text,
              "Can not create a new file\n/opt/k5320/20240309_070503.txt\n"
              "/home/operator/20240309_070503.txt");
    EXPECT_TRUE(view.checked[C::kSaveToFile]);
    EXPECT_FALSE(dialog.state().log_open);
    arrive(frame(0x100, {1}));
    tick();
    EXPECT_EQ(dialog.state().rx_count, 1u);  // monitoring goes on without a file

    files.createFails = false;
    check(C::kSaveToFile, false);
    check(C::kSaveToFile, true);
    EXPECT_TRUE(dialog.state().log_open);
    EXPECT_EQ(boxes.shown.size(), 1u);
}

TEST_F(ReceiveMonitorTest, AFailingWriteIsReportedOnceAndEndsThatFile) {
    check(C::kSaveToFile, true);
    files.writesBeforeFailure = 1;
    arrive(frame(0x100, {1}), 3);
    tick();
    arrive(frame(0x100, {1}), 2);
    tick();
    EXPECT_TRUE(view.timerRunning);
    view.runPosted();
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(boxes.shown[0].caption, "K5320W_Utility");
    EXPECT_EQ(boxes.shown[0].text, "Can not write to the log file");
    EXPECT_FALSE(dialog.state().log_open);
    EXPECT_EQ(files.openFiles, 0);
    EXPECT_EQ(log(), std::string(kHeader) + "2.0A,100,0,1,1,0,0,0,0,0,0,0,0\r\n");
    // Listing and counting went on.
    EXPECT_EQ(dialog.state().rx_count, 5u);
    EXPECT_EQ(view.list->size(), 5);
}

}  // namespace
}  // namespace k5320::utility::test

// The main dialog's behaviour without a screen: start-up, Initialize and its failures, slot
// changes, the status and system-message buttons, the lamps and sending.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "k5320_result.h"
#include "tests/utility/fake_dialog_parts.h"
#include "utility/main/utility_dialog.h"

namespace k5320::utility::test {
namespace {

using C = ControlId;
using Calls = std::vector<std::string>;

constexpr C kModuleControls[] = {
    C::kClearStatus, C::kStandardId,    C::kExtendedId,   C::kId,
    C::kRtr,         C::kLength,        C::kData,         C::kSend,
    C::kPause,       C::kDisableSysMsg, C::kEnableSysMsg, C::kResetCounter};
constexpr C kAlwaysEnabled[] = {
    C::kSlot,        C::kInitialize, C::kUpdateFirmware, C::kClear,
    C::kAccCode,     C::kAccMask,    C::kBaud,           C::kBt0,
    C::kBt1,         C::kFormatHex,  C::kFormatDec,      C::kFormatAscii,
    C::kMessageList, C::kShowOnList, C::kSaveToFile,     C::kSoftKeyboard};
constexpr const char* kTitle = "K-5320W Utility Ver 1.05";

class UtilityDialogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dialog.start();
        module.calls.clear();
    }

    void chooseSlot(int slot) {
        view.selected[C::kSlot] = slot - 1;
        dialog.slot_chosen();
    }

    // The not-initialised view, as seen at the moment of the call.
    void expectNotInitialisedView() const {
        for (const C id : kModuleControls)
            EXPECT_FALSE(view.enabled(id)) << "control " << static_cast<int>(id);
        EXPECT_EQ(view.texts.at(C::kStatusDisplay), "****");
        EXPECT_EQ(view.texts.at(C::kCounterDisplay), "**********");
        EXPECT_EQ(view.lamps.at(C::kRxLamp), BitmapImage::kNone);
        EXPECT_EQ(view.lamps.at(C::kTxLamp), BitmapImage::kNone);
        EXPECT_EQ(view.caption, kTitle);
        EXPECT_FALSE(view.timerRunning);
        EXPECT_FALSE(dialog.state().polling_active);
    }

    FakeView view;
    FakeModule module;
    FakeBoxes boxes;
    UtilityDialog dialog{view, module, boxes};
};

TEST_F(UtilityDialogTest, StartsNotInitialisedWithTheTemplateDefaults) {
    expectNotInitialisedView();
    for (const C id : kAlwaysEnabled) EXPECT_TRUE(view.enabled(id)) << static_cast<int>(id);

    EXPECT_EQ(view.choices[C::kSlot],
              (Calls{" Slot 1", " Slot 2", " Slot 3", " Slot 4", " Slot 5", " Slot 6", " Slot 7"}));
    EXPECT_EQ(view.selected[C::kSlot], 0);
    EXPECT_EQ(view.choices[C::kBaud],
              (Calls{"User defined", "   10K bps  ", "   20K bps  ", "   50K bps  ", "  125K bps  ",
                     "  250K bps  ", "  500K bps  ", "  800K bps  ", " 1000K bps  "}));
    EXPECT_EQ(view.selected[C::kBaud], 4);

    const std::map<C, std::pair<int, std::string>> boxesAtStart{
        {C::kAccCode, {8, "00000000"}}, {C::kAccMask, {8, "FFFFFFFF"}},
        {C::kBt0, {2, "FF"}},           {C::kBt1, {2, "FF"}},
        {C::kLength, {1, "8"}},         {C::kData, {23, "FF FF FF FF FF FF FF FF"}},
        {C::kId, {3, "3FF"}},
    };
    for (const auto& [id, expected] : boxesAtStart) {
        EXPECT_EQ(view.limits[id], expected.first) << static_cast<int>(id);
        EXPECT_EQ(view.texts[id], expected.second) << static_cast<int>(id);
    }
    EXPECT_TRUE(view.checked[C::kStandardId]);
    EXPECT_TRUE(view.checked[C::kFormatHex]);
    EXPECT_TRUE(view.checked[C::kShowOnList]);
    EXPECT_TRUE(dialog.state().show_on_list);
    EXPECT_FALSE(dialog.state().log_open);
    EXPECT_EQ(dialog.state().active_slot, kNoSlot);
    ASSERT_EQ(view.columns.size(), 14u);
    EXPECT_EQ(view.columns.front(), "No");
    EXPECT_EQ(view.columns.back(), "Time(100us)");
}

TEST_F(UtilityDialogTest, InitializeSetsUpTheSelectedSlotAndEntersTheInitialisedView) {
    chooseSlot(2);
    module.calls.clear();
    dialog.initialize();

    EXPECT_EQ(module.calls, (Calls{"init(2)", "hardware_reset(2)", "configure(2)"}));
    ASSERT_EQ(module.configures.size(), 1u);
    EXPECT_EQ(module.configures[0].code, 0u);
    EXPECT_EQ(module.configures[0].mask, 0xFFFFFFFFu);
    EXPECT_EQ(module.configures[0].baud, 4);
    EXPECT_EQ(dialog.state().active_slot, 2);
    for (const C id : kModuleControls) EXPECT_TRUE(view.enabled(id)) << static_cast<int>(id);
    EXPECT_EQ(view.lamps[C::kRxLamp], BitmapImage::kGreenLamp);
    EXPECT_EQ(view.lamps[C::kTxLamp], BitmapImage::kGreenLamp);
    EXPECT_EQ(view.texts[C::kStatusDisplay], "0x0C");
    EXPECT_EQ(view.texts[C::kCounterDisplay], "0000000000");
    EXPECT_TRUE(view.timerRunning);
    EXPECT_TRUE(dialog.state().polling_active);
    EXPECT_EQ(view.caption, "K-5320W Utility Ver 1.05, Filter[0,FFFFFFFF], Baud:125 kbps");
    // The window's own line shows what a window manager may cut from the caption.
    EXPECT_EQ(view.status[StatusField::kSettings], "Filter[0,FFFFFFFF], Baud:125 kbps");
    EXPECT_TRUE(boxes.shown.empty());
    dialog.reset_module_view();
    EXPECT_EQ(view.status[StatusField::kSettings], "Not initialised");
}

TEST_F(UtilityDialogTest, UserDefinedRatePassesTheTypedBusTimingAndSaysSoInTheCaption) {
    view.selected[C::kBaud] = 0;
    view.texts[C::kAccCode] = "1a2B";
    view.texts[C::kAccMask] = "00FFZ123";  // conversion ends at Z
    view.texts[C::kBt0] = "3";
    view.texts[C::kBt1] = "1C";
    dialog.initialize();
    ASSERT_EQ(module.configures.size(), 1u);
    EXPECT_EQ(module.configures[0].code, 0x1A2Bu);
    EXPECT_EQ(module.configures[0].mask, 0xFFu);
    EXPECT_EQ(module.configures[0].baud, 0);
    EXPECT_EQ(module.configures[0].bt0, 0x03);
    EXPECT_EQ(module.configures[0].bt1, 0x1C);
    EXPECT_EQ(view.caption, "K-5320W Utility Ver 1.05, Filter[1A2B,FF], Baud:User-defined");

    // A listed rate passes 0 for both, whatever the boxes hold.
    view.selected[C::kBaud] = 8;
    dialog.initialize();
    ASSERT_EQ(module.configures.size(), 2u);
    EXPECT_EQ(module.configures[1].baud, 8);
    EXPECT_EQ(module.configures[1].bt0, 0);
    EXPECT_EQ(module.configures[1].bt1, 0);
    EXPECT_EQ(view.caption, "K-5320W Utility Ver 1.05, Filter[1A2B,FF], Baud:1000 kbps");
}

struct FailingStep {
    const char* call;
    const char* message;
    Calls calls;
};

void PrintTo(const FailingStep& step, std::ostream* out) {
    *out << step.call;
}

class InitializeFailure : public UtilityDialogTest,
                          public ::testing::WithParamInterface<FailingStep> {};

TEST_P(InitializeFailure, ReportsTheStepRestoresTheChosenSlotAndKeepsTheActiveOne) {
    dialog.initialize();  // slot 1 becomes the active module
    chooseSlot(3);
    module.calls.clear();
    module.results[GetParam().call] = K5320_ERR_NO_ANSWER;
    Calls callsWhileBoxOpen;
    boxes.whileOpen = [&] {
        expectNotInitialisedView();
        callsWhileBoxOpen = module.calls;
    };

    dialog.initialize();

    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(boxes.shown[0].caption, "Error");
    EXPECT_EQ(boxes.shown[0].text, std::string(GetParam().message) + ", Error Code=23");
    EXPECT_EQ(callsWhileBoxOpen, GetParam().calls);  // the slot is restored after the box
    Calls all = GetParam().calls;
    all.push_back("restore(3)");
    EXPECT_EQ(module.calls, all);
    EXPECT_EQ(dialog.state().active_slot, 1);
    expectNotInitialisedView();
}

INSTANTIATE_TEST_SUITE_P(
    EachStep, InitializeFailure,
    ::testing::Values(
        FailingStep{"init", "Initiate Error", {"init(3)"}},
        FailingStep{"hardware_reset", "Hardware reset Error", {"init(3)", "hardware_reset(3)"}},
        FailingStep{
            "configure", "Configure Error", {"init(3)", "hardware_reset(3)", "configure(3)"}}),
    [](const ::testing::TestParamInfo<FailingStep>& step) { return std::string(step.param.call); });

TEST_F(UtilityDialogTest, InitializeTwiceOnOneSlotReleasesItFirstAndRestartsTheCounter) {
    dialog.initialize();
    view.texts[C::kCounterDisplay] = "0000000042";
    module.calls.clear();
    dialog.initialize();
    EXPECT_EQ(module.calls, (Calls{"restore(1)", "init(1)", "hardware_reset(1)", "configure(1)"}));
    EXPECT_EQ(view.texts[C::kCounterDisplay], "0000000000");
    EXPECT_EQ(dialog.state().rx_count, 0u);
    EXPECT_EQ(view.timerStarts, 1);  // polling kept running, not started twice
}

TEST_F(UtilityDialogTest, ChoosingAnotherSlotReleasesTheModuleAndTheSameSlotChangesNothing) {
    dialog.initialize();
    module.calls.clear();

    chooseSlot(1);
    EXPECT_TRUE(module.calls.empty());
    EXPECT_TRUE(view.enabled(C::kSend));
    EXPECT_TRUE(dialog.state().polling_active);

    chooseSlot(4);
    EXPECT_EQ(module.calls, (Calls{"restore(1)"}));
    EXPECT_EQ(dialog.state().active_slot, 1);  // until the next successful Initialize
    expectNotInitialisedView();

    // Before any Initialize there is no module to release.
    FakeView otherView;
    FakeModule otherModule;
    UtilityDialog fresh(otherView, otherModule, boxes);
    fresh.start();
    otherView.selected[C::kSlot] = 5;
    fresh.slot_chosen();
    EXPECT_EQ(otherModule.calls, (Calls{"dll_version(0)"}));
}

TEST_F(UtilityDialogTest, ClearStatusClearsBuffersShowsTheStatusAndTurnsTheLampsGreen) {
    dialog.initialize();
    dialog.apply_buffer_alarm(kRxBufferAlarm | kTxBufferAlarm);
    dialog.stop_polling();
    module.calls.clear();
    module.statusByte = 0x4C;

    dialog.clear_status();
    EXPECT_EQ(module.calls, (Calls{"clear_buffer_status(1)", "clear_soft_buffer(1)", "status(1)"}));
    EXPECT_EQ(view.texts[C::kStatusDisplay], "0x4C");
    EXPECT_EQ(dialog.state().last_status, 0x4C);
    EXPECT_EQ(view.lamps[C::kRxLamp], BitmapImage::kGreenLamp);
    EXPECT_EQ(view.lamps[C::kTxLamp], BitmapImage::kGreenLamp);
    EXPECT_EQ(dialog.state().buffer_alarm, 0);
    EXPECT_TRUE(view.timerRunning);

    // An unchanged status is not written again.
    const int writes = view.statusWrites;
    dialog.clear_status();
    EXPECT_EQ(view.statusWrites, writes);
}

TEST_F(UtilityDialogTest, StatusDisplayIsRewrittenWhenInitializeLeftItShowingAnotherValue) {
    // The status seen before the module was set up again is the status it has afterwards; the
    // display, which Initialize set to the idle value, must still show the module's status.
    module.statusByte = 0x4C;
    dialog.initialize();
    dialog.clear_status();
    ASSERT_EQ(view.texts[C::kStatusDisplay], "0x4C");
    dialog.initialize();
    ASSERT_EQ(view.texts[C::kStatusDisplay], "0x0C");
    dialog.clear_status();
    EXPECT_EQ(view.texts[C::kStatusDisplay], "0x4C");
}

TEST_F(UtilityDialogTest, FailingButtonCallsReturnToTheNotInitialisedView) {
    struct Case {
        const char* call;
        std::function<void()> press;
        const char* message;
    };
    const std::vector<Case> cases{
        {"clear_buffer_status", [&] { dialog.clear_status(); }, "Get Status Error"},
        {"clear_soft_buffer", [&] { dialog.clear_status(); }, "Get Status Error"},
        {"status", [&] { dialog.clear_status(); }, "Get Status Error"},
        {"systemMsgOn", [&] { dialog.system_messages(true); }, "Set SystemMsg Error"},
        {"systemMsgOff", [&] { dialog.system_messages(false); }, "Set SystemMsg Error"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.call);
        module.results.clear();
        dialog.initialize();
        module.results[c.call] = K5320_ERR_SYSTEM_MSG_REFUSED;
        boxes.shown.clear();
        boxes.whileOpen = [&] { expectNotInitialisedView(); };
        c.press();
        ASSERT_EQ(boxes.shown.size(), 1u);
        EXPECT_EQ(boxes.shown[0].caption, "Error");
        EXPECT_EQ(boxes.shown[0].text, std::string(c.message) + ", Error Code=239");
        boxes.whileOpen = nullptr;
    }

    module.results.clear();
    boxes.shown.clear();
    dialog.initialize();
    dialog.system_messages(true);
    dialog.system_messages(false);
    EXPECT_TRUE(boxes.shown.empty());
    EXPECT_TRUE(view.enabled(C::kSend));
}

TEST_F(UtilityDialogTest, ResetCounterZeroesTheCountAndRestartsPolling) {
    dialog.initialize();
    dialog.stop_polling();
    view.texts[C::kCounterDisplay] = "0000000007";
    dialog.reset_counter();
    EXPECT_EQ(view.texts[C::kCounterDisplay], "0000000000");
    EXPECT_EQ(dialog.state().rx_count, 0u);
    EXPECT_TRUE(view.timerRunning);
    EXPECT_TRUE(dialog.state().polling_active);
}

TEST_F(UtilityDialogTest, LampsFollowTheAlarmBitsAndRepaintOnlyOnAChange) {
    dialog.initialize();
    const int paints = view.lampPaints;
    dialog.apply_buffer_alarm(0);
    EXPECT_EQ(view.lampPaints, paints);
    dialog.apply_buffer_alarm(kTxBufferAlarm);
    EXPECT_EQ(view.lamps[C::kRxLamp], BitmapImage::kGreenLamp);
    EXPECT_EQ(view.lamps[C::kTxLamp], BitmapImage::kRedLamp);
    dialog.apply_buffer_alarm(kRxBufferAlarm);
    EXPECT_EQ(view.lamps[C::kRxLamp], BitmapImage::kRedLamp);
    EXPECT_EQ(view.lamps[C::kTxLamp], BitmapImage::kGreenLamp);
    EXPECT_EQ(dialog.state().buffer_alarm, kRxBufferAlarm);
}

TEST_F(UtilityDialogTest, SendPassesTheParsedMessageAndTheTransmitLampShowsTheOutcome) {
    dialog.initialize();
    view.checked[C::kStandardId] = false;
    view.checked[C::kExtendedId] = true;
    view.texts[C::kId] = "1ABCDEF";
    view.checked[C::kRtr] = true;
    view.texts[C::kLength] = "4";
    view.texts[C::kData] = "1 2  3";
    dialog.send();
    ASSERT_EQ(module.sends.size(), 1u);
    const SendCall& sent = module.sends[0];
    EXPECT_EQ(sent.slot, 1);
    EXPECT_EQ(sent.mode, 1);
    EXPECT_EQ(sent.id, 0x1ABCDEFu);
    EXPECT_EQ(sent.rtr, 1);
    EXPECT_EQ(sent.length, 4);
    EXPECT_EQ(sent.data, (std::array<uint8_t, 8>{1, 2, 0, 3, 0, 0, 0, 0}));

    module.results["send"] = K5320_ERR_TX_REFUSED;
    dialog.send();
    EXPECT_EQ(view.lamps[C::kTxLamp], BitmapImage::kRedLamp);
    EXPECT_EQ(view.lamps[C::kRxLamp], BitmapImage::kGreenLamp);
    EXPECT_TRUE(boxes.shown.empty());

    // Another error is reported and leaves the lamp and the initialised view as they were.
    module.results["send"] = K5320_ERR_NOT_CONFIGURED;
    dialog.send();
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(boxes.shown[0].caption, "Error");
    EXPECT_EQ(boxes.shown[0].text, "Send CAN Message Error, Error Code=40");
    EXPECT_EQ(view.lamps[C::kTxLamp], BitmapImage::kRedLamp);
    EXPECT_TRUE(view.enabled(C::kSend));
    EXPECT_TRUE(dialog.state().polling_active);

    module.results.erase("send");
    dialog.send();
    EXPECT_EQ(view.lamps[C::kTxLamp], BitmapImage::kGreenLamp);
}

TEST_F(UtilityDialogTest, IdFormatAndRtrSwitchTheirBoxes) {
    dialog.initialize();
    view.texts[C::kId] = "12";
    dialog.extended_id_chosen();
    EXPECT_EQ(view.limits[C::kId], 8);
    EXPECT_EQ(view.texts[C::kId], "1FFFFFFF");
    dialog.standard_id_chosen();
    EXPECT_EQ(view.limits[C::kId], 3);
    EXPECT_EQ(view.texts[C::kId], "3FF");

    view.checked[C::kRtr] = true;
    dialog.rtr_clicked();
    EXPECT_FALSE(view.enabled(C::kData));
    view.checked[C::kRtr] = false;
    dialog.rtr_clicked();
    EXPECT_TRUE(view.enabled(C::kData));

    // Initialize enables the Data box even with RTR checked.
    view.checked[C::kRtr] = true;
    dialog.rtr_clicked();
    dialog.initialize();
    EXPECT_TRUE(view.enabled(C::kData));
}

TEST_F(UtilityDialogTest, ClosingReleasesTheActiveModuleOrPassesSlot255) {
    dialog.destroyed();
    EXPECT_EQ(module.calls, (Calls{"restore(255)"}));

    dialog.initialize();
    module.calls.clear();
    dialog.destroyed();
    EXPECT_EQ(module.calls, (Calls{"restore(1)"}));
    EXPECT_FALSE(view.timerRunning);
}

TEST_F(UtilityDialogTest, SoftKeyboardFollowsItsCheckBoxAndIsDisabledWithoutAPanel) {
    EXPECT_TRUE(view.enabled(C::kSoftKeyboard));
    EXPECT_EQ(view.toolTips.count(C::kSoftKeyboard), 0u);
    FakeView bare;
    bare.inputPanelAvailable = false;
    UtilityDialog without{bare, module, boxes};
    without.start();
    EXPECT_FALSE(bare.enabled(C::kSoftKeyboard));
    EXPECT_EQ(bare.toolTips[C::kSoftKeyboard], "This desktop has no on-screen keyboard");

    view.checked[C::kSoftKeyboard] = true;
    dialog.soft_keyboard_clicked();
    EXPECT_TRUE(view.inputPanelVisible);
    view.checked[C::kSoftKeyboard] = false;
    dialog.soft_keyboard_clicked();
    EXPECT_FALSE(view.inputPanelVisible);
}

}  // namespace
}  // namespace k5320::utility::test

// Stand-ins for the main dialog's window, library and message boxes: each records what the
// behaviour did to it, so tests read the dialog's effects without a screen or a module.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "utility/main/main_view.h"
#include "utility/main/module_api.h"

namespace k5320::utility::test {

class FakeView final : public MainView {
  public:
    std::map<ControlId, std::string> texts;
    std::map<ControlId, int> limits;
    std::map<ControlId, bool> disabled;  // absent: enabled
    std::map<ControlId, bool> checked;
    std::map<ControlId, std::vector<std::string>> choices;
    std::map<ControlId, int> selected;
    std::map<ControlId, BitmapImage> lamps;
    int lampPaints = 0;
    int statusWrites = 0;
    std::string caption;
    std::vector<std::string> columns;
    bool timerRunning = false;
    int timerStarts = 0;
    bool inputPanelVisible = false;

    bool enabled(ControlId id) const { return !disabled.contains(id) || !disabled.at(id); }

    std::string text(ControlId id) const override {
        return texts.contains(id) ? texts.at(id) : std::string();
    }
    void setText(ControlId id, std::string_view text) override {
        if (id == ControlId::StatusDisplay) ++statusWrites;
        texts[id] = std::string(text);
    }
    void setTextLimit(ControlId id, int characters) override { limits[id] = characters; }
    void setEnabled(ControlId id, bool enabled) override { disabled[id] = !enabled; }
    bool isChecked(ControlId id) const override { return checked.contains(id) && checked.at(id); }
    void setChecked(ControlId id, bool value) override { checked[id] = value; }
    void setChoices(ControlId id, std::span<const std::string_view> entries) override {
        choices[id].assign(entries.begin(), entries.end());
    }
    int selectedIndex(ControlId id) const override {
        return selected.contains(id) ? selected.at(id) : -1;
    }
    void selectIndex(ControlId id, int index) override { selected[id] = index; }
    void showLamp(ControlId id, BitmapImage image) override {
        lamps[id] = image;
        ++lampPaints;
    }
    void setCaption(std::string_view text) override { caption = std::string(text); }
    void setListColumns(std::span<const ListColumn> list) override {
        columns.clear();
        for (const ListColumn& column : list) columns.emplace_back(column.heading);
    }
    void startPollingTimer() override {
        timerRunning = true;
        ++timerStarts;
    }
    void stopPollingTimer() override { timerRunning = false; }
    void setInputPanelVisible(bool visible) override { inputPanelVisible = visible; }
};

struct ConfigureCall {
    uint8_t slot;
    uint32_t code;
    uint32_t mask;
    uint8_t baud;
    uint8_t bt0;
    uint8_t bt1;
};

struct SendCall {
    uint8_t slot;
    uint8_t mode;
    uint32_t id;
    uint8_t rtr;
    uint8_t length;
    std::array<uint8_t, 8> data;
};

// Every call is logged as "name(slot)"; a result set in `results` under the name is returned.
class FakeModule final : public ModuleApi {
  public:
    std::vector<std::string> calls;
    std::map<std::string, int> results;
    uint8_t statusByte = 0x0C;
    std::vector<ConfigureCall> configures;
    std::vector<SendCall> sends;

    uint16_t dllVersion() override { return static_cast<uint16_t>(log("dllVersion", 0)); }
    int init(uint8_t slot) override { return log("init", slot); }
    int hardwareReset(uint8_t slot) override { return log("hardwareReset", slot); }
    int configure(uint8_t slot, uint32_t code, uint32_t mask, uint8_t baud, uint8_t bt0,
                  uint8_t bt1) override {
        configures.push_back({slot, code, mask, baud, bt0, bt1});
        return log("configure", slot);
    }
    int restore(uint8_t slot) override { return log("restore", slot); }
    int clearBufferStatus(uint8_t slot) override { return log("clearBufferStatus", slot); }
    int clearSoftBuffer(uint8_t slot) override { return log("clearSoftBuffer", slot); }
    int status(uint8_t slot, uint8_t* status) override {
        *status = statusByte;
        return log("status", slot);
    }
    int setSystemMsg(uint8_t slot, uint8_t enable) override {
        return log(enable != 0 ? "systemMsgOn" : "systemMsgOff", slot);
    }
    int send(uint8_t slot, uint8_t mode, uint32_t id, uint8_t rtr, uint8_t length,
             const uint8_t* data) override {
        SendCall call{slot, mode, id, rtr, length, {}};
        std::copy(data, data + call.data.size(), call.data.begin());
        sends.push_back(call);
        return log("send", slot);
    }

  private:
    int log(const std::string& name, int slot) {
        calls.push_back(name + "(" + std::to_string(slot) + ")");
        return results.contains(name) ? results.at(name) : 0;
    }
};

// Records each box; whileOpen runs as if the operator were looking at it.
class FakeBoxes final : public MessageBoxes {
  public:
    struct Box {
        std::string caption;
        std::string text;
    };
    std::vector<Box> shown;
    std::function<void()> whileOpen;

    void show(std::string_view caption, std::string_view text) override {
        shown.push_back({std::string(caption), std::string(text)});
        if (whileOpen) whileOpen();
    }
};

}  // namespace k5320::utility::test

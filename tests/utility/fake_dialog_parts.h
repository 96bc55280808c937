// Stand-ins for the main dialog's window, library, message boxes and files: each records what
// the behaviour did to it, so tests read the dialog's effects without a screen or a module.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "k5320_result.h"
#include "utility/main/main_view.h"
#include "utility/main/module_api.h"
#include "utility/main/receive_log.h"

namespace k5320::utility::test {

// Writes down every change a message list announces, as "insert FIRST+COUNT",
// "remove FIRST+COUNT", "clear" and "change ROWS", and checks that each announcement is
// followed by its confirmation.
class ListChanges final : public ListObserver {
  public:
    std::vector<std::string> changes;
    int unconfirmed = 0;

    int count(std::string_view kind) const {
        return static_cast<int>(std::count_if(changes.begin(), changes.end(), [&](auto& change) {
            return change.starts_with(kind);
        }));
    }
    void rows_about_to_be_inserted(int first, int n) override {
        changes.push_back("insert " + std::to_string(first) + "+" + std::to_string(n));
        ++unconfirmed;
    }
    void rows_inserted() override { --unconfirmed; }
    void rows_about_to_be_removed(int first, int n) override {
        changes.push_back("remove " + std::to_string(first) + "+" + std::to_string(n));
        ++unconfirmed;
    }
    void rows_removed() override { --unconfirmed; }
    void about_to_clear() override {
        changes.push_back("clear");
        ++unconfirmed;
    }
    void cleared() override { --unconfirmed; }
    void cells_changed(int first_row, int last_row, int, int) override {
        changes.push_back("change " + std::to_string(first_row) + "-" + std::to_string(last_row));
    }
};

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
    bool inputPanelAvailable = true;
    std::map<ControlId, std::string> toolTips;
    std::map<StatusField, std::string> status;
    MessageList* list = nullptr;
    IdentifierTable* identifiers = nullptr;
    ListChanges listChanges;
    std::vector<int> scrolls;
    std::vector<std::function<void()>> posted;

    // Runs what the behaviour left for the event loop, as the loop would after a handler.
    void runPosted() {
        auto tasks = std::move(posted);
        posted.clear();
        for (auto& task : tasks) task();
    }
    // The cells of a list row, comma-separated.
    std::string row(int index) const {
        std::string text;
        for (int column = 0; column < kListColumnCount; ++column) {
            if (column > 0) text += ",";
            text += list->cell(index, column);
        }
        return text;
    }

    bool enabled(ControlId id) const { return !disabled.contains(id) || !disabled.at(id); }

    std::string text(ControlId id) const override {
        return texts.contains(id) ? texts.at(id) : std::string();
    }
    void set_text(ControlId id, std::string_view text) override {
        if (id == ControlId::kStatusDisplay) ++statusWrites;
        texts[id] = std::string(text);
    }
    void set_text_limit(ControlId id, int characters) override { limits[id] = characters; }
    void set_enabled(ControlId id, bool enabled) override { disabled[id] = !enabled; }
    bool is_checked(ControlId id) const override { return checked.contains(id) && checked.at(id); }
    void set_checked(ControlId id, bool value) override { checked[id] = value; }
    void set_choices(ControlId id, std::span<const std::string_view> entries) override {
        choices[id].assign(entries.begin(), entries.end());
    }
    int selected_index(ControlId id) const override {
        return selected.contains(id) ? selected.at(id) : -1;
    }
    void select_index(ControlId id, int index) override { selected[id] = index; }
    void show_lamp(ControlId id, BitmapImage image) override {
        lamps[id] = image;
        ++lampPaints;
    }
    void set_caption(std::string_view text) override { caption = std::string(text); }
    void set_list_columns(std::span<const ListColumn> shown) override {
        columns.clear();
        for (const ListColumn& column : shown) columns.emplace_back(column.heading);
    }
    void start_polling_timer() override {
        timerRunning = true;
        ++timerStarts;
    }
    void stop_polling_timer() override { timerRunning = false; }
    void set_input_panel_visible(bool visible) override { inputPanelVisible = visible; }
    bool input_panel_available() override { return inputPanelAvailable; }
    void set_tool_tip(ControlId id, std::string_view text) override {
        toolTips[id] = std::string(text);
    }
    void set_status_text(StatusField field, std::string_view text) override {
        status[field] = std::string(text);
    }
    void show_message_list(MessageList& shown) override {
        list = &shown;
        list->set_observer(&listChanges);
    }
    void scroll_list_to(int row) override { scrolls.push_back(row); }
    void show_identifier_table(IdentifierTable& shown) override { identifiers = &shown; }
    void run_later(std::function<void()> task) override { posted.push_back(std::move(task)); }
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
    uint8_t tx_timeout = 0;
    // Messages waiting in the library; the count reports at most a bank of them.
    std::deque<ReceivedMessage> waiting;
    // Results forced on the next receives, one each; a forced failure delivers nothing.
    std::deque<int> receiveResults;
    // The receive-overflow flag: every delivered message returns 22 until a buffer clear.
    bool overflow = false;
    // The CAN controller's registers by address.
    std::map<uint8_t, uint8_t> registers;

    uint16_t dll_version() override { return static_cast<uint16_t>(log("dll_version", 0)); }
    int init(uint8_t slot) override { return log("init", slot); }
    int hardware_reset(uint8_t slot) override { return log("hardware_reset", slot); }
    int configure(uint8_t slot, uint32_t code, uint32_t mask, uint8_t baud, uint8_t bt0,
                  uint8_t bt1) override {
        configures.push_back({slot, code, mask, baud, bt0, bt1});
        return log("configure", slot);
    }
    int restore(uint8_t slot) override { return log("restore", slot); }
    int clear_buffer_status(uint8_t slot) override {
        overflow = false;
        return log("clear_buffer_status", slot);
    }
    int clear_soft_buffer(uint8_t slot) override {
        overflow = false;
        return log("clear_soft_buffer", slot);
    }
    int status(uint8_t slot, uint8_t* status) override {
        *status = statusByte;
        return log("status", slot);
    }
    int set_system_msg(uint8_t slot, uint8_t enable) override {
        return log(enable != 0 ? "systemMsgOn" : "systemMsgOff", slot);
    }
    int send(uint8_t slot, uint8_t mode, uint32_t id, uint8_t rtr, uint8_t length,
             const uint8_t* data) override {
        SendCall call{slot, mode, id, rtr, length, {}};
        std::copy(data, data + call.data.size(), call.data.begin());
        sends.push_back(call);
        return log("send", slot);
    }
    int is_tx_timeout(uint8_t slot, uint8_t* flag) override {
        *flag = tx_timeout;
        return log("is_tx_timeout", slot);
    }
    int rx_msg_count(uint8_t slot, uint16_t* count) override {
        *count = static_cast<uint16_t>(std::min<std::size_t>(waiting.size(), kBank));
        return log("rx_msg_count", slot);
    }
    int receive(uint8_t slot, ReceivedMessage& message) override {
        int result = log("receive", slot);
        if (result == 0 && !receiveResults.empty()) {
            result = receiveResults.front();
            receiveResults.pop_front();
            if (result == K5320_RX_DELIVERED_AFTER_OVERFLOW) overflow = true;
        }
        if (result != 0 && result != K5320_RX_DELIVERED_AFTER_OVERFLOW) return result;
        if (waiting.empty()) return K5320_ERR_NO_MESSAGE;
        const ReceivedMessage next = waiting.front();
        waiting.pop_front();
        const auto data = message.data;
        message = next;
        if (next.rtr != 0) message.data = data;  // a remote frame leaves the buffer alone
        return overflow ? K5320_RX_DELIVERED_AFTER_OVERFLOW : 0;
    }

    int read_register(uint8_t slot, uint8_t reg, uint8_t* value) override {
        *value = registers[reg];
        return log("read_register", slot);
    }

  private:
    static constexpr std::size_t kBank = 64;

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

// Files kept in memory by path. The program lives in /opt/k5320/, its user's home is
// /home/operator; creating (everywhere or in one folder) or writing fails on demand.
class FakeFiles final : public FileServices {
  public:
    std::string program = "/opt/k5320/K5320W_Utility";
    LocalTime time{2024, 3, 9, 7, 5, 3};
    std::string home = "/home/operator";
    bool createFails = false;
    // A folder in which nothing can be created, as an installed program's is to its user.
    std::string readOnlyFolder;
    // Writes that still succeed before every further one fails; negative: none fails.
    int writesBeforeFailure = -1;
    std::map<std::string, std::string> files;
    int openFiles = 0;

    std::string program_path() override { return program; }
    std::string home_directory() override { return home; }
    LocalTime local_time() override { return time; }
    std::unique_ptr<LogFile> create_file(const std::string& path) override {
        if (createFails) return nullptr;
        if (!readOnlyFolder.empty() && path.starts_with(readOnlyFolder)) return nullptr;
        files[path].clear();
        return std::make_unique<File>(*this, files[path]);
    }

  private:
    class File final : public LogFile {
      public:
        File(FakeFiles& owner, std::string& content) : owner_(owner), content_(content) {
            ++owner_.openFiles;
        }
        ~File() override { --owner_.openFiles; }
        bool write(std::string_view bytes) override {
            if (owner_.writesBeforeFailure == 0) return false;
            if (owner_.writesBeforeFailure > 0) --owner_.writesBeforeFailure;
            content_ += bytes;
            return true;
        }

      private:
        FakeFiles& owner_;
        std::string& content_;
    };
};

}  // namespace k5320::utility::test

// The resident loader: takes a firmware image from the host in numbered frames, keeps it in the
// flash with its information record, reports or deletes it, and tells whether the firmware may
// start. A frame it rejects changes nothing, so the host may send the expected one after it; only
// the frame that completes the image ends the download, whether the image is kept or not.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <vector>

#include "emulator/dual_port_ram.h"
#include "emulator/flash_store.h"
#include "k5320/model_codes.h"

namespace k5320::emulator {

// Not thread-safe: the module calls it with its lock held.
class ResidentLoader {
  public:
    // model: the module's own code, which an image must name (none: every image is refused).
    // The flash is kept in flash_file, or in memory without one.
    ResidentLoader(std::optional<model::Code> model, DualPortRam& ram,
                   std::optional<std::filesystem::path> flash_file);

    // The loader's commands, in loader mode: the answer, or none for a command it does not serve.
    std::optional<uint8_t> serve(uint8_t command);
    bool holds_firmware() const { return flash_.holds_valid_image(); }
    // Why the loader stays in charge when asked to start the firmware; none: it may start.
    std::optional<uint8_t> start_refusal() const;
    // A download in progress is given up: the loader is left, or entered afresh.
    void end_download() { download_.reset(); }

    FlashStore& flash() { return flash_; }
    const FlashStore& flash() const { return flash_; }

  private:
    // A download announced by its command, described by the info frame, then filled block by
    // block.
    struct Download {
        bool info_taken = false;  // until then only the info frame is taken
        FirmwareRecord record{};
        uint32_t announced_size = 0;
        std::vector<uint8_t> image;
        uint16_t next_block = 1;
    };

    std::optional<uint8_t> take_frame();
    std::optional<uint8_t> take_info_frame(uint16_t length, uint16_t block);
    std::optional<uint8_t> take_data_block(uint16_t length, uint16_t block);
    std::optional<uint8_t> complete_download(uint8_t success);
    std::optional<uint8_t> report_flash();

    const std::optional<model::Code> model_;
    DualPortRam& ram_;
    FlashStore flash_;
    std::optional<Download> download_;  // none: no download announced
};

}  // namespace k5320::emulator

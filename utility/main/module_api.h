// The library calls the main dialog makes, behind an interface: the program passes them straight
// to the C API (CApiModule), tests stand in a module that fails on demand.
#pragma once

#include <cstdint>

#include "utility/main/message_format.h"

namespace k5320::utility {

class ModuleApi {
  public:
    virtual ~ModuleApi() = default;

    virtual uint16_t dll_version() = 0;
    virtual int init(uint8_t slot) = 0;
    virtual int hardware_reset(uint8_t slot) = 0;
    virtual int configure(uint8_t slot, uint32_t acc_code, uint32_t acc_mask, uint8_t baud_index,
                          uint8_t bt0, uint8_t bt1) = 0;
    virtual int restore(uint8_t slot) = 0;
    virtual int clear_buffer_status(uint8_t slot) = 0;
    virtual int clear_soft_buffer(uint8_t slot) = 0;
    virtual int status(uint8_t slot, uint8_t* status) = 0;
    virtual int set_system_msg(uint8_t slot, uint8_t enable) = 0;
    virtual int send(uint8_t slot, uint8_t mode, uint32_t id, uint8_t rtr, uint8_t length,
                     const uint8_t* data) = 0;
    virtual int is_tx_timeout(uint8_t slot, uint8_t* flag) = 0;
    virtual int rx_msg_count(uint8_t slot, uint16_t* count) = 0;
    // The next waiting message; a remote frame leaves message.data as it was.
    virtual int receive(uint8_t slot, ReceivedMessage& message) = 0;
    // A register of the module's CAN controller.
    virtual int read_register(uint8_t slot, uint8_t reg, uint8_t* value) = 0;
};

// Forwards every call to libK5320.
class CApiModule final : public ModuleApi {
  public:
    uint16_t dll_version() override;
    int init(uint8_t slot) override;
    int hardware_reset(uint8_t slot) override;
    int configure(uint8_t slot, uint32_t acc_code, uint32_t acc_mask, uint8_t baud_index,
                  uint8_t bt0, uint8_t bt1) override;
    int restore(uint8_t slot) override;
    int clear_buffer_status(uint8_t slot) override;
    int clear_soft_buffer(uint8_t slot) override;
    int status(uint8_t slot, uint8_t* status) override;
    int set_system_msg(uint8_t slot, uint8_t enable) override;
    int send(uint8_t slot, uint8_t mode, uint32_t id, uint8_t rtr, uint8_t length,
             const uint8_t* data) override;
    int is_tx_timeout(uint8_t slot, uint8_t* flag) override;
    int rx_msg_count(uint8_t slot, uint16_t* count) override;
    int receive(uint8_t slot, ReceivedMessage& message) override;
    int read_register(uint8_t slot, uint8_t reg, uint8_t* value) override;
};

}  // namespace k5320::utility

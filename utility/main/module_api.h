// The library calls the main dialog makes, behind an interface: the program passes them straight
// to the C API (CApiModule), tests stand in a module that fails on demand.
#pragma once

#include <cstdint>

#include "utility/main/message_format.h"

namespace k5320::utility {

class ModuleApi {
  public:
    virtual ~ModuleApi() = default;

    virtual uint16_t dllVersion() = 0;
    virtual int init(uint8_t slot) = 0;
    virtual int hardwareReset(uint8_t slot) = 0;
    virtual int configure(uint8_t slot, uint32_t accCode, uint32_t accMask, uint8_t baudIndex,
                          uint8_t bt0, uint8_t bt1) = 0;
    virtual int restore(uint8_t slot) = 0;
    virtual int clearBufferStatus(uint8_t slot) = 0;
    virtual int clearSoftBuffer(uint8_t slot) = 0;
    virtual int status(uint8_t slot, uint8_t* status) = 0;
    virtual int setSystemMsg(uint8_t slot, uint8_t enable) = 0;
    virtual int send(uint8_t slot, uint8_t mode, uint32_t id, uint8_t rtr, uint8_t length,
                     const uint8_t* data) = 0;
    virtual int isTxTimeout(uint8_t slot, uint8_t* flag) = 0;
    virtual int rxMsgCount(uint8_t slot, uint16_t* count) = 0;
    // The next waiting message; a remote frame leaves message.data as it was.
    virtual int receive(uint8_t slot, ReceivedMessage& message) = 0;
};

// Forwards every call to libK5320.
class CApiModule final : public ModuleApi {
  public:
    uint16_t dllVersion() override;
    int init(uint8_t slot) override;
    int hardwareReset(uint8_t slot) override;
    int configure(uint8_t slot, uint32_t accCode, uint32_t accMask, uint8_t baudIndex, uint8_t bt0,
                  uint8_t bt1) override;
    int restore(uint8_t slot) override;
    int clearBufferStatus(uint8_t slot) override;
    int clearSoftBuffer(uint8_t slot) override;
    int status(uint8_t slot, uint8_t* status) override;
    int setSystemMsg(uint8_t slot, uint8_t enable) override;
    int send(uint8_t slot, uint8_t mode, uint32_t id, uint8_t rtr, uint8_t length,
             const uint8_t* data) override;
    int isTxTimeout(uint8_t slot, uint8_t* flag) override;
    int rxMsgCount(uint8_t slot, uint16_t* count) override;
    int receive(uint8_t slot, ReceivedMessage& message) override;
};

}  // namespace k5320::utility

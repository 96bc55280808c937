/*
 * K5320 driver library: the C API for the K5320 CAN-bus interface module.
 *
 * Every slot function takes the slot number (1..7) first and returns a result code
 * (k5320_result.h); 0 is success. Pointer arguments are not checked for null.
 */
#ifndef K5320_H
#define K5320_H

#include <stdint.h>

#include "k5320_result.h"

#ifdef __cplusplus
extern "C" {
#endif

#if defined(K5320_BUILDING_LIBRARY)
#define K5320_API __attribute__((visibility("default")))
#else
#define K5320_API
#endif

/* Configuration taken by K5320_Config. Code and mask: first byte most significant. */
typedef struct CanConfig {
    uint8_t AccCode[4];
    uint8_t AccMask[4];
    uint8_t BaudRate;
    uint8_t BT0;
    uint8_t BT1;
} CanConfig;

/* One CAN frame, natural alignment. */
typedef struct CanMsg {
    uint64_t TimeStamp; /* 0.1 ms units; ignored on transmission */
    uint8_t Mode;       /* 0 = 11-bit identifier, non-zero = 29-bit */
    uint32_t MsgID;
    uint8_t RTR; /* non-zero = remote frame */
    uint8_t DataLen;
    uint8_t Data[8];
} CanMsg;

/* Firmware information record: 25 bytes, packed, multi-byte fields little-endian. */
#pragma pack(push, 1)
typedef struct FirmwareInfo {
    char fileName[13];
    uint8_t year; /* years since 1980 */
    uint8_t month;
    uint8_t day;
    uint8_t hour;
    uint8_t minute;
    uint8_t second;
    uint16_t crc;
    uint32_t size;
} FirmwareInfo;
#pragma pack(pop)

typedef void (*K5320UserRoutine)(void);

/* Frame and module detection */
K5320_API int K5320_Init(uint8_t slot);
K5320_API uint16_t K5320_GetDllVersion(void);

/* Raw DPRAM access (user window 0..6999) and the command byte */
K5320_API int K5320_DPRAMInttToK5320(uint8_t slot, uint8_t value);
K5320_API int K5320_DPRAMWriteByte(uint8_t slot, uint16_t address, uint8_t value);
K5320_API int K5320_DPRAMWriteWord(uint8_t slot, uint16_t address, uint16_t value);
K5320_API int K5320_DPRAMWriteDword(uint8_t slot, uint16_t address, uint32_t value);
K5320_API int K5320_DPRAMWriteMultiByte(uint8_t slot, uint16_t address, const uint8_t* data,
                                        uint16_t length);
K5320_API int K5320_DPRAMMemset(uint8_t slot, uint16_t address, uint8_t value, uint16_t count);
K5320_API int K5320_DPRAMReadByte(uint8_t slot, uint16_t address, uint8_t* value);
K5320_API int K5320_DPRAMReadWord(uint8_t slot, uint16_t address, uint16_t* value);
K5320_API int K5320_DPRAMReadDword(uint8_t slot, uint16_t address, uint32_t* value);
K5320_API int K5320_DPRAMReadMultiByte(uint8_t slot, uint16_t address, uint8_t* buffer,
                                       uint16_t length);

/* Module reset and operating modes */
K5320_API int K5320_Check186Mode(uint8_t slot, uint8_t* mode);
K5320_API int K5320_RunUserProgram(uint8_t slot);
K5320_API int K5320_EndUserProgram(uint8_t slot);
K5320_API int K5320_HardwareReset(uint8_t slot);
K5320_API int K5320_Reset(uint8_t slot);
K5320_API int K5320_RestoreK5320(uint8_t slot);
K5320_API int K5320_OutputByte(uint8_t slot, uint8_t reg, uint8_t value);
K5320_API int K5320_InputByte(uint8_t slot, uint8_t reg, uint8_t* value);

/* Command mailbox and module clock */
K5320_API int K5320_SendCmd(uint8_t slot, const uint8_t* data, uint16_t length);
K5320_API int K5320_ReceiveCmd(uint8_t slot, uint8_t* buffer, uint16_t* length);
K5320_API int K5320_SendReceiveCmd(uint8_t slot, uint8_t wait, const uint8_t* data,
                                   uint16_t length, uint8_t* buffer, uint16_t* receivedLength,
                                   uint16_t timeoutMs);
K5320_API int K5320_ClearReceiveCmd(uint8_t slot);
K5320_API int K5320_AdjustDateTime(uint8_t slot);

/* CAN controller configuration */
K5320_API int K5320_SJA1000Config(uint8_t slot, uint32_t AccCode, uint32_t AccMask,
                                  uint8_t BaudRate, uint8_t BT0, uint8_t BT1);
K5320_API int K5320_ConfigWithoutStruct(uint8_t slot, uint32_t AccCode, uint32_t AccMask,
                                        uint8_t BaudRate, uint8_t BT0, uint8_t BT1);
K5320_API int K5320_Config(uint8_t slot, const CanConfig* config);
K5320_API int K5320_EnableSJA1000(uint8_t slot);
K5320_API int K5320_DisableSJA1000(uint8_t slot);

/* Transmit and receive */
K5320_API int K5320_SendWithoutStruct(uint8_t slot, uint8_t Mode, uint32_t MsgID, uint8_t RTR,
                                      uint8_t DataLen, const uint8_t* Data);
K5320_API int K5320_ReceiveWithoutStruct(uint8_t slot, uint8_t* Mode, uint32_t* MsgID,
                                         uint8_t* RTR, uint8_t* DataLen, uint8_t* Data,
                                         uint32_t* TimeStampHigh, uint32_t* TimeStampLow);
K5320_API int K5320_SendMsg(uint8_t slot, const CanMsg* msg);
K5320_API int K5320_ReceiveMsg(uint8_t slot, CanMsg* msg);
K5320_API int K5320_RxMsgCount(uint8_t slot, uint16_t* count);
K5320_API int K5320_IsTxTimeout(uint8_t slot, uint8_t* flag);

/* Status, buffer control and system messages */
K5320_API int K5320_Status(uint8_t slot, uint8_t* status);
K5320_API int K5320_ClearBufferStatus(uint8_t slot);
K5320_API int K5320_ClearSoftBuffer(uint8_t slot);
K5320_API int K5320_ClearTxSoftBuffer(uint8_t slot);
K5320_API int K5320_ClearRxSoftBuffer(uint8_t slot);
K5320_API int K5320_ClearDataOverrun(uint8_t slot);
K5320_API int K5320_SetSystemMsg(uint8_t slot, uint8_t enable);

/* Cyclic transmission */
K5320_API int K5320_AddCyclicTxMsg(uint8_t slot, uint8_t Mode, uint32_t MsgID, uint8_t RTR,
                                   uint8_t DataLen, const uint8_t* Data, uint32_t cycleTimeMs,
                                   uint32_t count, uint8_t* handle);
K5320_API int K5320_DeleteCyclicTxMsg(uint8_t slot, uint8_t handle);
K5320_API int K5320_EnableCyclicTxMsg(uint8_t slot, uint8_t handle);
K5320_API int K5320_DisableCyclicTxMsg(uint8_t slot, uint8_t handle);
K5320_API int K5320_CheckCyclicTxRestMsg(uint8_t slot, uint8_t handle, uint32_t* rest);

/* User interrupt routine and interrupt removal */
K5320_API int K5320_InstallUserISR(uint8_t slot, K5320UserRoutine routine);
K5320_API int K5320_RemoveUserISR(uint8_t slot);
K5320_API int K5320_RemoveIrq(uint8_t slot);
K5320_API int K5320_ReadUserInttType(uint8_t slot, uint8_t* type);

/* Firmware download */
K5320_API int K5320_Load_Init(uint8_t slot);
K5320_API int K5320_Load_IntoDownloadMode(uint8_t slot);
K5320_API int K5320_Load_GetFirmwareInfo(uint8_t slot, FirmwareInfo* info);
K5320_API int K5320_Load_DeleteFirmware(uint8_t slot);
K5320_API int K5320_Load_DownloadInfo(uint8_t slot, FirmwareInfo info);
K5320_API int K5320_Load_DownloadData(uint8_t slot, uint16_t blockNumber, const uint8_t* data,
                                      uint16_t length);
K5320_API int K5320_Load_RunProgram(uint8_t slot);
K5320_API int K5320_Load_Reset(uint8_t slot);
K5320_API void MakeCRC16Table(void);
K5320_API uint16_t K5320_Load_CalculatedCRC(const uint8_t* data, uint32_t length);

#ifdef __cplusplus
}
#endif

#endif

/*
 * What each result code of the K5320 driver library means, in words for people: the one table
 * every program that shows a result takes its words from (the k5320 tool, and the utility).
 * Plain C, header only, so that a program needs no more than the C API's headers for it.
 *
 * The meanings are phrases without a slot, a call or a final stop, so that a program can set
 * them in its own sentence: "k5320: slot 2: the firmware did not answer in time (result 23)".
 */
#ifndef K5320_RESULT_TEXT_H
#define K5320_RESULT_TEXT_H

#include "k5320_result.h"

typedef struct K5320ResultText {
    int code;
    const char* name;    /* the constant's name in k5320_result.h */
    const char* meaning; /* what it means to the caller */
} K5320ResultText;

static const K5320ResultText k5320_result_texts[] = {
    {K5320_SUCCESS, "K5320_SUCCESS", "success"},
    {K5320_ERR_BAD_SLOT, "K5320_ERR_BAD_SLOT", "no module the library drives in the slot"},
    {K5320_ERR_REFUSED, "K5320_ERR_REFUSED",
     "refused by the firmware, or a system object could not be created"},
    {K5320_ERR_NO_MESSAGE, "K5320_ERR_NO_MESSAGE", "no received message waiting"},
    /* 22 is also K5320_RX_DELIVERED_AFTER_OVERFLOW: on receive, a message came and some were
       lost before it (k5320_result_meaning_on_receive) */
    {K5320_ERR_TX_REFUSED, "K5320_ERR_TX_REFUSED",
     "the module refused the frame: its transmit buffer is full"},
    {K5320_ERR_NO_ANSWER, "K5320_ERR_NO_ANSWER", "the firmware did not answer in time"},
    {K5320_ERR_CYCLIC_REFUSED, "K5320_ERR_CYCLIC_REFUSED",
     "cyclic transmission refused: the table is full or the entry does not exist"},
    {K5320_ERR_RANGE, "K5320_ERR_RANGE", "an argument or a received length is out of range"},
    {K5320_ERR_NO_COMMAND, "K5320_ERR_NO_COMMAND", "no command record has arrived"},
    {K5320_ERR_WRONG_STATE, "K5320_ERR_WRONG_STATE",
     "the firmware is not in the state the request needs"},
    {K5320_ERR_LOADER_EMPTY, "K5320_ERR_LOADER_EMPTY", "the loader holds no firmware"},
    {K5320_ERR_DOWNLOAD_REFUSED, "K5320_ERR_DOWNLOAD_REFUSED",
     "the loader did not accept the firmware record or a data block"},
    {K5320_ERR_DELETE_REFUSED, "K5320_ERR_DELETE_REFUSED",
     "the loader refused to delete the firmware"},
    {K5320_ERR_BLOCK_TOO_LONG, "K5320_ERR_BLOCK_TOO_LONG",
     "a data block is longer than 8186 bytes"},
    {K5320_ERR_LOADER_REJECTED, "K5320_ERR_LOADER_REJECTED",
     "the loader rejected the request (a firmware for another module, or a damaged one)"},
    {K5320_ERR_NOT_DOWNLOAD_MODE, "K5320_ERR_NOT_DOWNLOAD_MODE",
     "the module is not in download mode"},
    {K5320_ERR_CLOCK_REFUSED, "K5320_ERR_CLOCK_REFUSED",
     "the firmware refused the date and time"},
    {K5320_ERR_NOT_CONFIGURED, "K5320_ERR_NOT_CONFIGURED", "the CAN channel is not configured"},
    {K5320_ERR_NOT_INITIALIZED, "K5320_ERR_NOT_INITIALIZED",
     "the slot is not initialised in this process"},
    {K5320_ERR_SJA1000_UNCONFIRMED, "K5320_ERR_SJA1000_UNCONFIRMED",
     "the CAN controller did not confirm the request"},
    {K5320_ERR_ANSWER_PENDING, "K5320_ERR_ANSWER_PENDING",
     "the answer is not there yet and its time has not run out"},
    {K5320_ERR_ALREADY_REGISTERED, "K5320_ERR_ALREADY_REGISTERED",
     "the slot is in use by another process"},
    {K5320_ERR_SYSTEM_MSG_REFUSED, "K5320_ERR_SYSTEM_MSG_REFUSED",
     "the firmware refused to switch system messages"},
};

#define K5320_RESULT_TEXT_COUNT (sizeof k5320_result_texts / sizeof k5320_result_texts[0])

/* The table's entry for code; NULL for a value the library never returns. */
static inline const K5320ResultText* k5320_result_text(int code) {
    for (unsigned i = 0; i < K5320_RESULT_TEXT_COUNT; ++i)
        if (k5320_result_texts[i].code == code) return &k5320_result_texts[i];
    return 0;
}

/* What code means; "unknown result code" for a value the library never returns. */
static inline const char* k5320_result_meaning(int code) {
    const K5320ResultText* text = k5320_result_text(code);
    return text ? text->meaning : "unknown result code";
}

/* What 22 means where a receive returned it; other codes as k5320_result_meaning. */
static inline const char* k5320_result_meaning_on_receive(int code) {
    return code == K5320_RX_DELIVERED_AFTER_OVERFLOW
               ? "a message was delivered, and messages were lost before it"
               : k5320_result_meaning(code);
}

#endif

/* Result codes of the K5320 driver library. 0 is success; only these values occur. */
#ifndef K5320_RESULT_H
#define K5320_RESULT_H

enum K5320Result {
    K5320_SUCCESS = 0,
    K5320_ERR_BAD_SLOT = 3,           /* slot not 1..7, or no accepted module in it */
    K5320_ERR_REFUSED = 7,            /* firmware refused, or an OS object could not be created */
    K5320_ERR_NO_MESSAGE = 21,        /* no received message available */
    K5320_ERR_TX_REFUSED = 22,        /* transmit refused */
    /* The same code on receive: a message was delivered, and messages were lost before it. */
    K5320_RX_DELIVERED_AFTER_OVERFLOW = K5320_ERR_TX_REFUSED,
    K5320_ERR_NO_ANSWER = 23,         /* firmware did not answer in time */
    K5320_ERR_CYCLIC_REFUSED = 24,    /* cyclic transmission refused or no free entry */
    K5320_ERR_RANGE = 25,             /* argument or received length out of range */
    K5320_ERR_NO_COMMAND = 26,        /* no command record has arrived */
    K5320_ERR_WRONG_STATE = 27,       /* firmware not in the state the request needs */
    K5320_ERR_LOADER_EMPTY = 30,      /* loader answered 225 (no firmware stored) */
    K5320_ERR_DOWNLOAD_REFUSED = 31,  /* information or data block not accepted */
    K5320_ERR_DELETE_REFUSED = 32,    /* loader refused to delete the firmware */
    K5320_ERR_BLOCK_TOO_LONG = 33,    /* data block longer than 8186 bytes */
    K5320_ERR_LOADER_REJECTED = 34,   /* loader answered 232 */
    K5320_ERR_NOT_DOWNLOAD_MODE = 35, /* module is not in download mode */
    K5320_ERR_CLOCK_REFUSED = 36,     /* firmware refused the date and time */
    K5320_ERR_NOT_CONFIGURED = 40,    /* CAN channel not configured */
    K5320_ERR_NOT_INITIALIZED = 41,   /* slot not initialised in this process */
    K5320_ERR_SJA1000_UNCONFIRMED = 42,
    K5320_ERR_ANSWER_PENDING = 43,    /* answer not there yet, time-out not run out */
    K5320_ERR_ALREADY_REGISTERED = 44,/* slot interrupt already registered */
    K5320_ERR_SYSTEM_MSG_REFUSED = 239
};

#endif

/* Message queues. */
#ifndef TARN_EMU_MQ_H
#define TARN_EMU_MQ_H

#include "global.h"
#include "miscerr.h"

typedef DWORD MQHANDLE;

#define MQ_OPEN_CREATE 0x00000001
#define MQ_WAIT_FOR_MSG 0x0001
#define MAXONESEGSIZE 0xFF7E
#define MQ_MAX_MSGSIZE (MAXONESEGSIZE - 0x40) /* 65342 */
#define HIGHPRIORITY 0
#define LOWPRIORITY 0xFFFF
#define NOPRIORITY 0xFFFF

#ifdef __cplusplus
extern "C" {
#endif
STATUS LNPUBLIC MQOpen(const char FAR *QueueName, DWORD Options, MQHANDLE FAR *RetQueue);
STATUS LNPUBLIC MQPut(MQHANDLE Queue, WORD Priority, char FAR *Buffer, WORD Length, DWORD Options);
STATUS LNPUBLIC MQGet(MQHANDLE Queue, char FAR *Buffer, WORD BufLength, DWORD Options, DWORD Timeout,
                      WORD FAR *retMsgLength);
WORD LNPUBLIC MQGetCount(MQHANDLE Queue);
STATUS LNPUBLIC MQClose(MQHANDLE Queue, DWORD Options);
#ifdef __cplusplus
}
#endif

#endif

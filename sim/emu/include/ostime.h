/* Time. */
#ifndef TARN_EMU_OSTIME_H
#define TARN_EMU_OSTIME_H

#include "global.h"

#ifdef __cplusplus
extern "C" {
#endif
/* The current time, in GMT (zone and daylight-saving bits 0). */
void LNPUBLIC OSCurrentTIMEDATE(TIMEDATE FAR *retTimeDate);
#ifdef __cplusplus
}
#endif

#endif

#include "base/event_data.h"

#include <cstdio>

void FormatUnid(const uint32_t unid[4], char out[33]) {
    snprintf(out, 33, "%08X%08X%08X%08X", unid[1], unid[0], unid[3], unid[2]);
}

/* Item data types. */
#ifndef TARN_EMU_NSFDATA_H
#define TARN_EMU_NSFDATA_H

#include "global.h"

/* The C API reference gives no number for the unknown type; 0 is no real type. */
#define TYPE_INVALID_OR_UNKNOWN 0x0000
#define TYPE_NUMBER 0x0300
#define TYPE_TIME 0x0400
#define TYPE_TEXT 0x0500
#define TYPE_TEXT_LIST 0x0501

/* A summary buffer entry's value table: Length covers the whole block. */
typedef struct {
    USHORT Length;
    USHORT Items;
} ITEM_VALUE_TABLE;

#endif

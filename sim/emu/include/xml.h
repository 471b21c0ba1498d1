/* The DXL importer: design, ACL and documents from XML into a database. */
#ifndef TARN_EMU_XML_H
#define TARN_EMU_XML_H

#include "global.h"

#ifdef __cplusplus
extern "C" {
#endif
typedef MEMHANDLE DXLIMPORTHANDLE;
/* Fills pBuffer with up to length bytes; returns how many, 0 at the end. */
typedef DWORD(LNCALLBACKPTR XML_READ_FUNCTION)(BYTE FAR *pBuffer, DWORD length, void FAR *pAction);

typedef enum {
    iACLImportOption = 1,
    iDesignImportOption = 2,
    iDocumentsImportOption = 3,
    iCreateFullTextIndex = 4,
    iReplaceDbProperties = 5,
    iInputValidationOption = 6,
    iReplicaRequiredForReplaceOrUpdate = 7,
    iExitOnFirstFatalError = 8,
    iUnknownTokenLogOption = 9,
    iResultLogComment = 10,
    iResultLog = 11,
    iImportedNoteList = 12
} DXL_IMPORT_PROPERTY;

typedef enum {
    DXLIMPORTOPTION_IGNORE = 1,
    DXLIMPORTOPTION_CREATE = 2,
    DXLIMPORTOPTION_IGNORE_ELSE_CREATE = 3,
    DXLIMPORTOPTION_REPLACE_ELSE_IGNORE = 5,
    DXLIMPORTOPTION_REPLACE_ELSE_CREATE = 6,
    DXLIMPORTOPTION_UPDATE_ELSE_IGNORE = 9,
    DXLIMPORTOPTION_UPDATE_ELSE_CREATE = 10
} DXLIMPORTOPTION;

typedef enum {
    DXLLOGOPTION_IGNORE = 1,
    DXLLOGOPTION_WARNING = 2,
    DXLLOGOPTION_ERROR = 3,
    DXLLOGOPTION_FATALERROR = 4
} DXLLOGOPTION;

STATUS LNPUBLIC DXLCreateImporter(DXLIMPORTHANDLE FAR *prethDXLImport);
STATUS LNPUBLIC DXLSetImporterProperty(DXLIMPORTHANDLE hDXLImport, DXL_IMPORT_PROPERTY prop, void FAR *propValue);
/* iResultLog: a MEMHANDLE of the log text (zero-terminated), freed by the
   caller with OSMemFree. iImportedNoteList: an id table of the notes the
   last import wrote, destroyed by the caller with IDDestroyTable. */
STATUS LNPUBLIC DXLGetImporterProperty(DXLIMPORTHANDLE hDXLImport, DXL_IMPORT_PROPERTY prop, void FAR *retPropValue);
STATUS LNPUBLIC DXLImport(DXLIMPORTHANDLE hDXLImport, XML_READ_FUNCTION pDXLReaderFunc, DBHANDLE hDB,
                          void FAR *pImAction);
BOOL LNPUBLIC DXLImportWasErrorLogged(DXLIMPORTHANDLE hDXLImport);
void LNPUBLIC DXLDeleteImporter(DXLIMPORTHANDLE hDXLImport);
#ifdef __cplusplus
}
#endif

#endif

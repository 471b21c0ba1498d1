// The DXL importer of the Windows stand-in (nnotes.dll): the mingw build has
// no XML library (Debian ships libxml2 and pugixml for Linux only), so every
// import is refused with a clear status and its reason in the result log.
// Databases for the Windows tasks are made by the Linux build's kit.
#include <mutex>
#include <string>
#include <unordered_map>

#include "emu/store.h"

namespace err = emu::err;

namespace {
std::mutex gMutex;
std::unordered_map<DXLIMPORTHANDLE, bool> gImporters;  // handle -> an error was logged
constexpr char kReason[] = "DXL import failed: this build of the stand-in has no DXL importer\n";
}  // namespace

extern "C" {

EMU_EXPORT STATUS DXLCreateImporter(DXLIMPORTHANDLE* importer) {
    if (!importer) return err::INVALID_HANDLE;
    std::lock_guard lock(gMutex);
    *importer = emu::detail::NewHandle();
    gImporters[*importer] = false;
    return NOERROR;
}

EMU_EXPORT STATUS DXLSetImporterProperty(DXLIMPORTHANDLE importer, DXL_IMPORT_PROPERTY, void*) {
    std::lock_guard lock(gMutex);
    return gImporters.count(importer) ? NOERROR : err::INVALID_HANDLE;
}

EMU_EXPORT STATUS DXLGetImporterProperty(DXLIMPORTHANDLE importer, DXL_IMPORT_PROPERTY prop, void* value) {
    std::lock_guard lock(gMutex);
    if (!gImporters.count(importer)) return err::INVALID_HANDLE;
    if (prop != iResultLog || !value) return err::DXL_BAD_OPTION;
    *static_cast<MEMHANDLE*>(value) = emu::detail::AllocBlock(std::vector<uint8_t>(kReason, kReason + sizeof kReason), true);
    return NOERROR;
}

EMU_EXPORT STATUS DXLImport(DXLIMPORTHANDLE importer, XML_READ_FUNCTION, DBHANDLE, void*) {
    std::lock_guard lock(gMutex);
    auto it = gImporters.find(importer);
    if (it == gImporters.end()) return err::INVALID_HANDLE;
    it->second = true;
    return err::DXL_IMPORT_FAILED;
}

EMU_EXPORT BOOL DXLImportWasErrorLogged(DXLIMPORTHANDLE importer) {
    std::lock_guard lock(gMutex);
    auto it = gImporters.find(importer);
    return it != gImporters.end() && it->second;
}

EMU_EXPORT void DXLDeleteImporter(DXLIMPORTHANDLE importer) {
    std::lock_guard lock(gMutex);
    gImporters.erase(importer);
}

}  // extern "C"

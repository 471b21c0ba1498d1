# The add-in for a Domino server on 64-bit Windows: ntarn.dll, built with the
# Visual C++ x64 tools against the Notes C API toolkit. Not built by CI (no
# Windows here); the same sources compile on Linux against the same toolkit
# headers (src/host/toolkit.cmake), and .ci/mingw-check compiles the Windows
# branches.
#
#   nmake -f src\host\windows\mswin64.mak NOTESAPI=C:\notesapi ^
#         BOOST=C:\local\boost_1_74_0 BOOSTLIB=C:\local\boost_1_74_0\lib64-msvc-14.3
#
# Run from the repository's root in an "x64 Native Tools" prompt. Copy
# ntarn.dll into the Domino program directory and list it in notes.ini as
# EXTMGR_ADDINS=ntarn.dll (see README, "Install with the kit").

!IFNDEF NOTESAPI
!ERROR set NOTESAPI to the toolkit folder (its include\ and lib\mswin64\notes.lib)
!ENDIF
!IFNDEF BOOST
!ERROR set BOOST to the Boost source folder and BOOSTLIB to its x64 libraries (Boost.Thread)
!ENDIF

.SUFFIXES: .cc .cpp .obj

OUT = build-win64
# The sources (as objects) and the defines, shared with the mingw-w64 build.
!INCLUDE src\host\windows\sources.mak
OBJS = $(TARN_OBJS)

TARGET = $(OUT)\ntarn.dll

# The toolkit's compile line for 64-bit Windows, with two departures: -Zl is
# left out (the add-in is C++ and links its run-time by default), and W is
# defined as itself (Boost names a template parameter W).
CPPFLAGS = /nologo /c /std:c++20 /MD /EHsc /GS- /Gy /GF /favor:INTEL64 /Zc:wchar_t- /W3 $(TARN_DEFINES) \
    /Isrc /I"$(NOTESAPI)\include" /I"$(BOOST)" /FIsrc\host\windows\msvc_compat.h

$(TARGET): $(OUT) $(OBJS) src\host\windows\ntarn.def
    link /nologo -dll -def:src\host\windows\ntarn.def -machine:AMD64 -out:$(TARGET) $(OBJS) \
        "$(NOTESAPI)\lib\mswin64\notes.lib" wininet.lib shlwapi.lib kernel32.lib user32.lib \
        /LIBPATH:"$(BOOSTLIB)"

# tarn-setup.exe, the administrator's kit: a C API program linked with the
# toolkit's notes.lib as any is, with the add-in's objects (all but
# exports.obj). Its kit edits the designs' DXL itself (the site's names into
# the ACL, the server document) with libxml2, so it also needs a static
# libxml2 2.9 built with LIBXML_STATIC (LIBXML2=its folder, holding
# include\libxml2\ and lib\libxml2s.lib or libxml2.lib: set LIBXML2LIB), and
# CLI11's headers (CLI11=folder holding CLI\CLI.hpp). Not part of the default
# target:
#   nmake -f src\host\windows\mswin64.mak ... LIBXML2=C:\local\libxml2 ^
#         LIBXML2LIB=libxml2s.lib CLI11=C:\local\CLI11\include tarn-setup
SETUP_TARGET = $(OUT)\tarn-setup.exe
SETUP_CPPFLAGS = $(CPPFLAGS) /DLIBXML_STATIC /Isetup /I"$(LIBXML2)\include\libxml2" /I"$(CLI11)"

tarn-setup: $(SETUP_TARGET)

$(SETUP_TARGET): $(OUT) $(OUT)\setup $(SETUP_OBJS) $(OBJS)
!IFNDEF LIBXML2
    @echo set LIBXML2 and CLI11 (see tarn-setup above) & exit 1
!ENDIF
    link /nologo -machine:AMD64 -subsystem:console -out:$(SETUP_TARGET) $(SETUP_OBJS) \
        $(OBJS:build-win64\exports.obj=) "$(NOTESAPI)\lib\mswin64\notes.lib" \
        "$(LIBXML2)\lib\$(LIBXML2LIB)" ws2_32.lib wininet.lib shlwapi.lib kernel32.lib user32.lib \
        /LIBPATH:"$(BOOSTLIB)"

$(OUT)\setup:
    if not exist $(OUT)\setup mkdir $(OUT)\setup

# The designs built in, generated from admin\*.dxl.
$(OUT)\setup\kit_designs.cc: admin\tarnconfig.dxl admin\tarnalerts.dxl admin\qcapture.dxl setup\kit\designs.cc.in
    cmake -DROOT=. -DOUT=$@ -P setup\kit\designs.cmake

{setup}.cc{$(OUT)\setup}.obj:
    cl $(SETUP_CPPFLAGS) /Fo$@ /Tp $<
{setup\kit}.cc{$(OUT)\setup}.obj:
    cl $(SETUP_CPPFLAGS) /Fo$@ /Tp $<
{$(OUT)\setup}.cc{$(OUT)\setup}.obj:
    cl $(SETUP_CPPFLAGS) /Fo$@ /Tp $<

$(OUT):
    if not exist $(OUT) mkdir $(OUT)

{src\base}.cc{$(OUT)}.obj:
    cl $(CPPFLAGS) /Fo$@ /Tp $<
{src\config}.cc{$(OUT)}.obj:
    cl $(CPPFLAGS) /Fo$@ /Tp $<
{src\events}.cc{$(OUT)}.obj:
    cl $(CPPFLAGS) /Fo$@ /Tp $<
{src\host}.cc{$(OUT)}.obj:
    cl $(CPPFLAGS) /Fo$@ /Tp $<
{src\host}.cpp{$(OUT)}.obj:
    cl $(CPPFLAGS) /Fo$@ /Tp $<
{src\ipc}.cc{$(OUT)}.obj:
    cl $(CPPFLAGS) /Fo$@ /Tp $<
{src\log}.cc{$(OUT)}.obj:
    cl $(CPPFLAGS) /Fo$@ /Tp $<
{src\queue}.cc{$(OUT)}.obj:
    cl $(CPPFLAGS) /Fo$@ /Tp $<
{src\stats}.cc{$(OUT)}.obj:
    cl $(CPPFLAGS) /Fo$@ /Tp $<
{src\transport}.cc{$(OUT)}.obj:
    cl $(CPPFLAGS) /Fo$@ /Tp $<

clean:
    if exist $(OUT) rmdir /s /q $(OUT)

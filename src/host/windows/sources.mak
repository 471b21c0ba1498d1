# The add-in's sources and defines for 64-bit Windows, in one place for both
# Windows builds: the MSVC makefile includes this file, and the mingw-w64
# build (src/host/windows/CMakeLists.txt) reads it, so the two cannot drift.
# Each object is named after its source in src/*/ (X_win.cc is the Windows
# flavour of X.cc; WinINet carries HTTP, not libcurl); .ci/mingw-check checks
# this list against the sources that are there.
TARN_OBJS = \
    $(OUT)\callback_skip.obj \
    $(OUT)\event_data.obj \
    $(OUT)\summary_buffer.obj \
    $(OUT)\tarn_config.obj \
    $(OUT)\membership_list.obj \
    $(OUT)\calendar_checks.obj \
    $(OUT)\tarn_event_processor.obj \
    $(OUT)\entry.obj \
    $(OUT)\exports.obj \
    $(OUT)\process_name.obj \
    $(OUT)\tarn_session.obj \
    $(OUT)\refresh_queues.obj \
    $(OUT)\task_list.obj \
    $(OUT)\notes_error.obj \
    $(OUT)\tarn_log.obj \
    $(OUT)\tarn_queue.obj \
    $(OUT)\queue_views.obj \
    $(OUT)\tarn_stats.obj \
    $(OUT)\queue_backlog.obj \
    $(OUT)\connection.obj \
    $(OUT)\connection_settings.obj \
    $(OUT)\dom_to_tn.obj \
    $(OUT)\http_client_win.obj \
    $(OUT)\http_redirect_win.obj \
    $(OUT)\library_pin_win.obj \
    $(OUT)\notice_transport.obj \
    $(OUT)\notice_workers.obj \
    $(OUT)\redirect.obj \
    $(OUT)\transport_state.obj \
    $(OUT)\worker_pool.obj \
    $(OUT)\www_authenticate.obj

# tarn-setup.exe: its own sources (setup\, setup\kit\) beside the add-in's
# objects but exports.obj (it reads the configuration with the add-in's code).
# kit_designs.cc is generated from admin\*.dxl by setup\kit\designs.cmake
# (CMake's script mode runs it: see mswin64.mak). Its start is a server's
# (setup_host_server.obj: NotesInitExtended); nothing here includes sim\.
SETUP_OBJS = \
    $(OUT)\setup\check.obj \
    $(OUT)\setup\create.obj \
    $(OUT)\setup\main.obj \
    $(OUT)\setup\purge.obj \
    $(OUT)\setup\queue.obj \
    $(OUT)\setup\resync.obj \
    $(OUT)\setup\resync_time.obj \
    $(OUT)\setup\setup_host_server.obj \
    $(OUT)\setup\kit.obj \
    $(OUT)\setup\kit_designs.obj

# The toolkit's defines for 64-bit Windows; W is defined as itself (Boost
# names a template parameter W).
TARN_DEFINES = -DNT -DW32 -DW=W -DW64 -DND64 -D_AMD64_ -D_WINDOWS -DND64SERVER -DDTRACE \
    -D_CRT_SECURE_NO_WARNINGS -DPRODUCTION_VERSION -DHANDLE_IS_32BITS -DWIN32_LEAN_AND_MEAN -DNOMINMAX

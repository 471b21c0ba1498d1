# The add-in and tarn-setup for a Domino server on 64-bit Linux, built
# against a Notes C API toolkit instead of the embedded host:
#
#   cmake -S . -B build-server -DTARN_NOTES_SDK=/opt/notesapi \
#         [-DTARN_NOTES_EXEC_DIR=/opt/hcl/domino/notes/latest/linux] \
#         [-DTARN_BOOST_THREAD_STATIC=/path/to/libboost_thread.a]
#   cmake --build build-server --target tarn tarn-setup
#
# Headers come from TARN_NOTES_SDK/include only (nothing of sim/); the
# defines and flags are the toolkit's for 64-bit Linux. On UNIX the toolkit
# has no link library of its own: libnotes.so is the server's, in its
# program directory (TARN_NOTES_EXEC_DIR). The result is libtarn.so with
# exactly MainEntryPoint and ExtMgrCallback exported, C linkage, needing
# libnotes.so, libcurl and the C and C++ run-times only.
set(TARN_NOTES_EXEC_DIR "" CACHE PATH "directory holding the server's libnotes.so")
if(NOT EXISTS ${TARN_NOTES_SDK}/include/global.h)
  message(FATAL_ERROR "TARN_NOTES_SDK=${TARN_NOTES_SDK}: no include/global.h there")
endif()
find_library(TARN_NOTES_LIBRARY notes
  HINTS ${TARN_NOTES_EXEC_DIR} ${TARN_NOTES_SDK}/lib/linux64 ${TARN_NOTES_SDK}/lib64 ${TARN_NOTES_SDK}/lib
        /opt/hcl/domino/notes/latest/linux
  NO_DEFAULT_PATH REQUIRED)
get_filename_component(TARN_NOTES_LIBRARY_DIR ${TARN_NOTES_LIBRARY} DIRECTORY)
message(STATUS "Notes C API toolkit: ${TARN_NOTES_SDK}; libnotes.so: ${TARN_NOTES_LIBRARY}")

# W is defined as itself: defined for the toolkit's #ifdef tests, yet still a
# plain name where Boost (bind.hpp) uses W as a template parameter.
set(TARN_TOOLKIT_DEFINES
  UNIX LINUX LINUX86 LINUX64 LINUX86_64 ND64 NDUNIX64 LONGIS64BIT HANDLE_IS_32BITS W32 W=W GCC3 GCC4
  GCC_LBLB_NOT_SUPPORTED DTRACE PTHREAD_KERNEL _REENTRANT USE_THREADSAFE_INTERFACES
  _POSIX_THREAD_SAFE_FUNCTIONS HAS_IOCP HAS_BOOL HAS_DLOPEN USE_PTHREAD_INTERFACES LARGE64_FILES
  _LARGEFILE_SOURCE _LARGEFILE64_SOURCE PRODUCTION_VERSION OVERRIDEDEBUG)

# The C API as the toolkit declares it, for every target below: its headers
# only (nothing of sim/), its defines and flags, the server's libnotes.so.
add_library(tarn_toolkit_capi INTERFACE)
target_include_directories(tarn_toolkit_capi SYSTEM INTERFACE ${TARN_NOTES_SDK}/include)
target_compile_definitions(tarn_toolkit_capi INTERFACE ${TARN_TOOLKIT_DEFINES})
target_compile_options(tarn_toolkit_capi INTERFACE -m64 -fPIC -fno-strict-aliasing)
target_link_libraries(tarn_toolkit_capi INTERFACE ${TARN_NOTES_LIBRARY})
target_link_options(tarn_toolkit_capi INTERFACE -m64 -Wl,-rpath-link,${TARN_NOTES_LIBRARY_DIR})
set(TARN_CAPI tarn_toolkit_capi)

# Boost.Thread goes into the library itself: a server's Linux has no Boost
# package, only libcurl. Its symbols stay hidden (the version script exports
# the two entry points alone).
# A distribution's libboost_thread.a is seldom position-independent: build
# one with -fPIC (tools/windows/deps.sh makes one in its linux64/ folder).
set(TARN_BOOST_THREAD_STATIC "$ENV{HOME}/.cache/tarn-win/linux64/libboost_thread.a" CACHE FILEPATH
  "a static, position-independent libboost_thread.a (Boost ${Boost_VERSION_STRING})")
if(NOT EXISTS ${TARN_BOOST_THREAD_STATIC})
  message(FATAL_ERROR "TARN_BOOST_THREAD_STATIC=${TARN_BOOST_THREAD_STATIC}: no such file; build Boost.Thread "
    "static with -fPIC (tools/windows/deps.sh does, into its linux64/ folder) and name it here")
endif()

# Everything of the add-in but its exports, as in src/CMakeLists.txt: for the
# add-in and for tarn-setup.
file(GLOB TARN_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/src/*/*.cc)
list(FILTER TARN_SOURCES EXCLUDE REGEX "_win\\.cc$")
add_library(tarn_core STATIC ${TARN_SOURCES})
target_include_directories(tarn_core PUBLIC ${CMAKE_SOURCE_DIR}/src)
target_compile_options(tarn_core PRIVATE -fvisibility=hidden -fvisibility-inlines-hidden)
target_link_libraries(tarn_core PUBLIC tarn_toolkit_capi Boost::headers ${TARN_BOOST_THREAD_STATIC} CURL::libcurl
  Threads::Threads m resolv ${CMAKE_DL_LIBS})

add_library(tarn MODULE ${CMAKE_SOURCE_DIR}/src/host/exports.cpp)
target_compile_options(tarn PRIVATE -fvisibility=hidden -fvisibility-inlines-hidden)
target_link_libraries(tarn PRIVATE tarn_core)
target_link_options(tarn PRIVATE -Wl,-z,text
  -Wl,--version-script=${CMAKE_SOURCE_DIR}/src/host/exports.map -Wl,--exclude-libs,libboost_thread.a)
# Found at run time where the server keeps it; a server process has it
# loaded already.
set_target_properties(tarn PROPERTIES PREFIX "lib" OUTPUT_NAME "tarn"
  LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR} BUILD_RPATH ${TARN_NOTES_LIBRARY_DIR}
  INSTALL_RPATH ${TARN_NOTES_LIBRARY_DIR})

# tarn-setup, with the toolkit's start; libnotes.so found where the server
# keeps it (its program directory), as for the add-in.
add_subdirectory(${CMAKE_SOURCE_DIR}/setup ${CMAKE_BINARY_DIR}/setup)
set_target_properties(tarn-setup PROPERTIES BUILD_RPATH ${TARN_NOTES_LIBRARY_DIR}
  INSTALL_RPATH ${TARN_NOTES_LIBRARY_DIR})

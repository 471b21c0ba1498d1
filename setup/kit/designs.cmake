# The kit's designs (admin/*.dxl) as one generated source, for every build:
# tarn_kit_designs(OUT) writes OUT at configure time. Also a script, for
# builds without CMake (src/host/windows/mswin64.mak):
#   cmake -DROOT=<repository> -DOUT=<file> -P setup/kit/designs.cmake
function(tarn_kit_designs out root)
  set(KIT_DESIGN_CASES "")
  foreach(design tarnconfig tarnalerts qcapture)
    set(dxl ${root}/admin/${design}.dxl)
    if(NOT CMAKE_SCRIPT_MODE_FILE)
      set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${dxl})
    endif()
    file(READ ${dxl} text)
    string(APPEND KIT_DESIGN_CASES "    if (name == \"${design}\") return R\"dxl(${text})dxl\";\n")
  endforeach()
  configure_file(${CMAKE_CURRENT_FUNCTION_LIST_DIR}/designs.cc.in ${out} @ONLY)
endfunction()

if(CMAKE_SCRIPT_MODE_FILE)
  tarn_kit_designs(${OUT} ${ROOT})
endif()

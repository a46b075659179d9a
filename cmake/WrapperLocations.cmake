# Facts of the build that scripts, CTest and the Python tests share, stated once here.

# wrapper.exe's size budget in bytes: the launcher is downloaded with every package.
set(WRAPPER_LAUNCHER_SIZE_LIMIT 28672)

# Where the windows preset's tree holds its programs, for a host build that uses them (its
# tests, wrapper-pack's default launcher, the installation). A Windows build finds its own
# from its targets.
set(WRAPPER_WINDOWS_BUILD_DIR "${PROJECT_SOURCE_DIR}/build/windows" CACHE PATH
  "Build tree of the windows preset, which holds wrapper.exe and the stand-in installer")
set(WRAPPER_WINDOWS_LAUNCHER ${WRAPPER_WINDOWS_BUILD_DIR}/Tools/packageBuilder/wrapper/wrapper.exe)
set(WRAPPER_WINDOWS_URL_RECORDER
  ${WRAPPER_WINDOWS_BUILD_DIR}/Tools/packageBuilder/recorder/wrapper-url-recorder.exe)
set(WRAPPER_WINDOWS_STANDIN
  ${WRAPPER_WINDOWS_BUILD_DIR}/tests/e2e/installer/standin-installer.exe)

# The launcher's result codes as JSON, which tests/e2e/codes writes from their list.
set(WRAPPER_RESULT_CODES_JSON ${PROJECT_BINARY_DIR}/result-codes.json)

# wrapper-locations.json in the build tree: the programs and files of this build (and, for
# a host build, of the windows build beside it) by key, with the size budget. scripts/demo,
# scripts/bench and the Python tests read it rather than knowing either tree's layout.
# Called at the end of the top-level CMakeLists.txt, when every target exists.
function(wrapper_write_locations)
  set(entries "\"launcher_size_limit\": ${WRAPPER_LAUNCHER_SIZE_LIMIT}")
  macro(add_entry key path)
    string(APPEND entries ",\n  \"${key}\": \"${path}\"")
  endmacro()
  macro(add_target key target)
    if(TARGET ${target})
      add_entry(${key} "$<TARGET_FILE:${target}>")
    endif()
  endmacro()
  if(WIN32)
    add_target(wrapper_exe wrapper)
    add_target(url_recorder wrapper-url-recorder)
    add_target(standin_installer standin-installer)
    add_target(logic_unwind_check logic-unwind-check)
    add_target(smallest_program smallest-program)
    add_target(wrapper_pack_exe wrapper-pack)
    add_target(wrapper_inspect_exe wrapper-inspect)
    add_target(wrapper_stamp_exe wrapper-stamp)
  else()
    add_entry(wrapper_exe ${WRAPPER_WINDOWS_LAUNCHER})
    add_entry(url_recorder ${WRAPPER_WINDOWS_URL_RECORDER})
    add_entry(standin_installer ${WRAPPER_WINDOWS_STANDIN})
    set(windows ${WRAPPER_WINDOWS_BUILD_DIR})
    add_entry(logic_unwind_check ${windows}/tests/e2e/unwind/logic-unwind-check.exe)
    add_entry(smallest_program ${windows}/bench/smallest/smallest-program.exe)
    add_entry(wrapper_pack_exe ${windows}/Tools/packageBuilder/tools/pack/wrapper-pack.exe)
    add_entry(wrapper_inspect_exe
      ${windows}/Tools/packageBuilder/tools/inspect/wrapper-inspect.exe)
    add_target(wrapper_pack wrapper-pack)
    add_target(wrapper_inspect wrapper-inspect)
    add_target(wrapper_stamp wrapper-stamp)
    add_target(launcher_temp_names launcher-temp-names)
    if(TARGET launcher-result-codes)
      add_entry(result_codes ${WRAPPER_RESULT_CODES_JSON})
    endif()
  endif()
  file(GENERATE OUTPUT ${PROJECT_BINARY_DIR}/wrapper-locations.json
    CONTENT "{\n  ${entries}\n}\n")
endfunction()

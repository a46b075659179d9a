# wrapper_add_package(NAME <target> PAYLOAD <file or target>
#                     [SETTINGS <file>...] [LINK <template>] [CAMPAIGN <query>]
#                     [LANDING <template>] [UNINSTALL <template>] [ALLOW_ANSI] [STRICT]
#                     [OUTPUT <file>] [LAUNCHER <file>]
#                     [SIGN_COMMAND <command>...] [SIGN_DEPENDS <file or target>...]
#                     [STAMP_SLOT]
#                     [VERIFY] [EXPECT_PRODUCT_ID <id>] [REQUIRE_SIGNED] [REQUIRE_TIMESTAMP])
#
# Adds the target <target>, built by default, that packs the installer PAYLOAD (a file, or
# a target whose file it is) with the launcher and the settings into OUTPUT (default
# <target>.exe in the current binary folder). The settings come as wrapper-pack takes them:
# the SETTINGS files layered in order, then LINK, CAMPAIGN, LANDING and UNINSTALL, which
# override the files. ALLOW_ANSI and STRICT are wrapper-pack's --allow-ansi and --strict
# (and wrapper-inspect's, with VERIFY). It packs again whenever the payload, a settings
# file, the launcher, wrapper-pack, a SIGN_DEPENDS file or target, or the call's arguments
# change.
#
# SIGN_COMMAND signs the package: its arguments are a command in which <IN> stands for the
# unsigned package and <OUT> for the signed one it must write, e.g.
#   SIGN_COMMAND osslsigncode sign -pkcs12 release.p12 -in <IN> -out <OUT>
# Arguments may hold spaces and semicolons, and generator expressions. SIGN_DEPENDS names
# what the signature is made from (the certificate, the key, a signing tool's target).
# VERIFY runs wrapper-inspect --verify on the (signed) package, with EXPECT_PRODUCT_ID as
# --expect-product-id; a package that fails is not put in place. With SIGN_COMMAND the
# check always runs and requires a signature (--require-signature: REQUIRE_SIGNED, implied),
# so that a signing command that exits 0 and signs nothing fails the build.
# REQUIRE_TIMESTAMP asks for a timestamp on the signature too (--require-timestamp).
# STAMP_SLOT reserves the slot wrapper-stamp writes a campaign into: after the signing
# command, osslsigncode add -addUnauthenticatedBlob adds it to the signature (which it does
# not cover, so the signature and its timestamp stay valid). It needs SIGN_COMMAND and
# osslsigncode (found as OSSLSIGNCODE_EXECUTABLE).
#
# OUTPUT is replaced only when it is a regular file or missing: a folder, a symbolic link or
# any other kind of file there fails the build and is left as it is. Its folder is created.
# OUTPUT appears only when every step succeeded; a failed step leaves no package there, not
# even the previous one, and no work file. The build prints one line per package (and
# wrapper-pack's warnings), or the output of the step that failed. Relative paths are taken
# from the current source folder, except OUTPUT, which is taken from the current binary
# folder.
#
# The target's property WRAPPER_PACKAGE_FILE holds the package's path.

# This file, which the build's step script includes to run the steps.
set(_WRAPPER_ADD_PACKAGE_FILE "${CMAKE_CURRENT_LIST_FILE}")

# <out> = the value of <variable> as CMake source text: a bracket argument, or as a LIST one
# per item, its semicolons escaped, so that each stays one item.
function(_wrapper_package_literal out mode variable)
  if(mode STREQUAL "LIST")
    set(text "")
    foreach(item IN LISTS ${variable})
      string(REPLACE ";" "\\;" item "${item}")
      string(APPEND text " ")
      _wrapper_package_bracket(text "${item}")
    endforeach()
  else()
    set(text " ")
    _wrapper_package_bracket(text "${${variable}}")
  endif()
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

# Appends <value> to the variable <to> in brackets that do not occur in it.
function(_wrapper_package_bracket to value)
  set(equals "=")
  while(value MATCHES "]${equals}]")
    string(APPEND equals "=")
  endwhile()
  set(${to} "${${to}}[${equals}[${value}]${equals}]" PARENT_SCOPE)
endfunction()

# Appends each value to the list <list> as one item, a semicolon in it escaped (ARGV<n>,
# not ARGN, which would split it).
function(_wrapper_package_append list)
  set(items "${${list}}")
  math(EXPR last "${ARGC} - 1")
  foreach(index RANGE 1 ${last})
    string(REPLACE ";" "\\;" value "${ARGV${index}}")
    list(APPEND items "${value}")
  endforeach()
  set(${list} "${items}" PARENT_SCOPE)
endfunction()

function(wrapper_add_package)
  cmake_parse_arguments(PARSE_ARGV 0 arg
    "VERIFY;STRICT;ALLOW_ANSI;REQUIRE_SIGNED;REQUIRE_TIMESTAMP;STAMP_SLOT"
    "NAME;PAYLOAD;OUTPUT;LAUNCHER;EXPECT_PRODUCT_ID;LINK;CAMPAIGN;LANDING;UNINSTALL"
    "SETTINGS;SIGN_COMMAND;SIGN_DEPENDS")
  if(arg_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "wrapper_add_package: unknown arguments: ${arg_UNPARSED_ARGUMENTS}")
  endif()
  foreach(required IN ITEMS NAME PAYLOAD)
    if(NOT arg_${required})
      message(FATAL_ERROR "wrapper_add_package: ${required} is required")
    endif()
  endforeach()
  foreach(keyword IN LISTS arg_KEYWORDS_MISSING_VALUES)
    message(FATAL_ERROR "wrapper_add_package: ${keyword} needs a value")
  endforeach()
  if(arg_EXPECT_PRODUCT_ID AND NOT arg_VERIFY)
    message(FATAL_ERROR "wrapper_add_package: EXPECT_PRODUCT_ID is checked by VERIFY")
  endif()
  foreach(keyword IN ITEMS REQUIRE_SIGNED REQUIRE_TIMESTAMP STAMP_SLOT)
    if(arg_${keyword} AND NOT arg_SIGN_COMMAND)
      message(FATAL_ERROR "wrapper_add_package: ${keyword} needs a SIGN_COMMAND that signs")
    endif()
  endforeach()
  if(arg_SIGN_DEPENDS AND NOT arg_SIGN_COMMAND)
    message(FATAL_ERROR "wrapper_add_package: SIGN_DEPENDS is what SIGN_COMMAND uses")
  endif()
  if(arg_STAMP_SLOT)
    find_program(OSSLSIGNCODE_EXECUTABLE osslsigncode)
    if(NOT OSSLSIGNCODE_EXECUTABLE)
      message(FATAL_ERROR "wrapper_add_package: STAMP_SLOT adds the slot with osslsigncode, "
        "which was not found; install it or set OSSLSIGNCODE_EXECUTABLE")
    endif()
  endif()

  # Lists below hold each path or argument as one item, its semicolons escaped.
  set(output "${CMAKE_CURRENT_BINARY_DIR}/${arg_NAME}.exe")
  if(arg_OUTPUT)
    cmake_path(ABSOLUTE_PATH arg_OUTPUT BASE_DIRECTORY "${CMAKE_CURRENT_BINARY_DIR}"
               NORMALIZE OUTPUT_VARIABLE output)
  endif()
  set(launcher "${WRAPPER_LAUNCHER}")
  if(arg_LAUNCHER)
    cmake_path(ABSOLUTE_PATH arg_LAUNCHER BASE_DIRECTORY "${CMAKE_CURRENT_SOURCE_DIR}"
               NORMALIZE OUTPUT_VARIABLE launcher)
  endif()
  set(inputs)
  set(depends)
  _wrapper_package_append(inputs "${launcher}")
  if(TARGET "${arg_PAYLOAD}")
    set(payload "$<TARGET_FILE:${arg_PAYLOAD}>")
    list(APPEND depends "${arg_PAYLOAD}" "${payload}")
  else()
    cmake_path(ABSOLUTE_PATH arg_PAYLOAD BASE_DIRECTORY "${CMAKE_CURRENT_SOURCE_DIR}"
               NORMALIZE OUTPUT_VARIABLE payload)
    _wrapper_package_append(inputs "${payload}")
  endif()
  set(pack_arguments)
  _wrapper_package_append(pack_arguments --launcher "${launcher}" --payload "${payload}")
  foreach(file IN LISTS arg_SETTINGS)
    cmake_path(ABSOLUTE_PATH file BASE_DIRECTORY "${CMAKE_CURRENT_SOURCE_DIR}" NORMALIZE)
    _wrapper_package_append(inputs "${file}")
    _wrapper_package_append(pack_arguments --settings "${file}")
  endforeach()
  foreach(file IN LISTS arg_SIGN_DEPENDS)
    if(TARGET "${file}")
      list(APPEND depends "${file}")
    else()
      cmake_path(ABSOLUTE_PATH file BASE_DIRECTORY "${CMAKE_CURRENT_SOURCE_DIR}" NORMALIZE)
      _wrapper_package_append(inputs "${file}")
    endif()
  endforeach()
  # The package is written over none of its inputs (a settings file named as OUTPUT, say).
  # A semicolon in a dependency's path reaches the build tool escaped; make cannot take one,
  # and no generator takes one in a custom command's output.
  if(output MATCHES ";")
    message(FATAL_ERROR "wrapper_add_package: OUTPUT ${output}: CMake cannot build a file "
      "whose path holds a semicolon")
  endif()
  foreach(input IN LISTS inputs)
    if(input STREQUAL output)
      message(FATAL_ERROR "wrapper_add_package: OUTPUT ${output} is an input of the package")
    endif()
    if(input MATCHES ";" AND CMAKE_GENERATOR MATCHES "Make")
      message(FATAL_ERROR "wrapper_add_package: ${input}: ${CMAKE_GENERATOR} cannot depend "
        "on a file whose path holds a semicolon (Ninja can)")
    endif()
    string(REPLACE ";" "\\\\;" input "${input}")
    list(APPEND depends "${input}")
  endforeach()
  foreach(keyword IN ITEMS LINK CAMPAIGN LANDING UNINSTALL)
    if(DEFINED arg_${keyword})
      string(TOLOWER "--${keyword}" option)
      _wrapper_package_append(pack_arguments ${option} "${arg_${keyword}}")
    endif()
  endforeach()
  set(check_arguments)
  foreach(flag IN ITEMS STRICT ALLOW_ANSI)
    if(arg_${flag})
      string(TOLOWER "--${flag}" option)
      string(REPLACE "_" "-" option "${option}")
      list(APPEND pack_arguments ${option})
      list(APPEND check_arguments ${option})
    endif()
  endforeach()

  # Work files live in the build's own folder for this target. The step script holds every
  # argument as given, so it changes (and the package is made again) when they do.
  set(work "${CMAKE_CURRENT_BINARY_DIR}/CMakeFiles/${arg_NAME}.wrapper-package")
  set(packed "${work}/packed.exe")
  _wrapper_package_append(pack_arguments --output "${packed}")
  set(finished "${packed}")
  set(signed "${work}/signed.exe")
  set(sign)
  set(slot)
  if(arg_SIGN_COMMAND)
    set(finished "${signed}")
    foreach(argument IN LISTS arg_SIGN_COMMAND)
      string(REPLACE "<IN>" "${packed}" argument "${argument}")
      string(REPLACE "<OUT>" "${signed}" argument "${argument}")
      _wrapper_package_append(sign "${argument}")
    endforeach()
  endif()
  if(arg_STAMP_SLOT)
    set(finished "${work}/slotted.exe")
    _wrapper_package_append(slot "${OSSLSIGNCODE_EXECUTABLE}" add -addUnauthenticatedBlob
                            -in "${signed}" -out "${finished}")
  endif()
  set(verify)
  if(arg_VERIFY OR arg_SIGN_COMMAND)
    set(verify "$<TARGET_FILE:wrapper::wrapper-inspect>" --verify ${check_arguments})
    if(arg_SIGN_COMMAND)
      list(APPEND verify --require-signature)
    endif()
    if(arg_REQUIRE_TIMESTAMP)
      list(APPEND verify --require-timestamp)
    endif()
    if(arg_EXPECT_PRODUCT_ID)
      _wrapper_package_append(verify --expect-product-id "${arg_EXPECT_PRODUCT_ID}")
    endif()
    _wrapper_package_append(verify "${finished}")
    list(APPEND depends "$<TARGET_FILE:wrapper::wrapper-inspect>")
  endif()

  set(program "$<TARGET_FILE:wrapper::wrapper-pack>")
  set(module "${_WRAPPER_ADD_PACKAGE_FILE}")
  foreach(list IN ITEMS pack_arguments sign slot verify)
    _wrapper_package_literal(${list}_text LIST ${list})
  endforeach()
  foreach(value IN ITEMS output work packed signed finished program module)
    _wrapper_package_literal(${value}_text ONE ${value})
  endforeach()
  set(script "${work}/steps-$<CONFIG>.cmake")
  file(GENERATE OUTPUT "${script}" CONTENT
"# The steps that make ${arg_NAME}, written by wrapper_add_package.
cmake_policy(VERSION 3.25)
set(output${output_text})
set(work${work_text})
set(packed${packed_text})
set(signed${signed_text})
set(finished${finished_text})
set(pack${program_text}${pack_arguments_text})
set(sign${sign_text})
set(slot${slot_text})
set(verify${verify_text})
include(${module_text})
_wrapper_package_run()
")

  add_custom_command(OUTPUT "${output}"
    COMMAND "${CMAKE_COMMAND}" -P "${script}"
    DEPENDS ${depends} "$<TARGET_FILE:wrapper::wrapper-pack>"
            "${script}" "${_WRAPPER_ADD_PACKAGE_FILE}"
    COMMENT "Packing ${arg_NAME}: ${output}"
    VERBATIM)
  add_custom_target(${arg_NAME} ALL DEPENDS "${output}")
  set_target_properties(${arg_NAME} PROPERTIES WRAPPER_PACKAGE_FILE "${output}")
endfunction()

# Run by the build (cmake -P): the steps of one package, with output, work, packed, signed,
# finished, pack, sign, slot and verify set by its step script.
function(_wrapper_package_run)
  # What is at OUTPUT: only a regular file is ever replaced.
  set(kind "")
  if(IS_SYMLINK "${output}")
    set(kind "a symbolic link")
  elseif(IS_DIRECTORY "${output}")
    set(kind "a folder")
  elseif(EXISTS "${output}" AND CMAKE_HOST_UNIX)
    execute_process(COMMAND test -f "${output}" RESULT_VARIABLE not_regular)
    if(not_regular)
      set(kind "not a regular file")
    endif()
  endif()
  if(kind)
    message(FATAL_ERROR "${output} is ${kind}; wrapper_add_package replaces only a regular "
      "file, and leaves this as it is")
  endif()

  file(REMOVE "${packed}" "${signed}" "${finished}" "${output}")
  cmake_path(GET output PARENT_PATH folder)
  file(MAKE_DIRECTORY "${folder}" "${work}")

  set(step_pack "packing")
  set(step_sign "signing")
  set(step_slot "adding the campaign slot")
  set(step_verify "the check")
  foreach(step IN ITEMS pack sign slot verify)
    if(NOT ${step})
      continue()
    endif()
    execute_process(COMMAND ${${step}} RESULT_VARIABLE status
                    OUTPUT_VARIABLE out ERROR_VARIABLE err)
    if(NOT status EQUAL 0)
      file(REMOVE "${packed}" "${signed}" "${finished}")
      # What the tools say names the package by where it was to go.
      string(REPLACE "${finished}" "${output}" said "${out}${err}")
      string(REPLACE "${signed}" "${output}" said "${said}")
      string(REPLACE "${packed}" "${output}" said "${said}")
      string(STRIP "${said}" said)
      message(NOTICE "${said}")
      message(FATAL_ERROR "${output} not written: ${step_${step}} failed")
    endif()
    if(step STREQUAL "pack" AND err)
      string(REPLACE "${packed}" "${output}" err "${err}")
      string(STRIP "${err}" err)
      message(NOTICE "${err}")
    endif()
  endforeach()
  if(NOT EXISTS "${finished}")
    message(FATAL_ERROR "${output} not written: the signing command wrote no signed package")
  endif()

  # A rename where it can, a copy across file systems.
  file(RENAME "${finished}" "${output}" RESULT failed)
  if(failed)
    file(COPY_FILE "${finished}" "${output}" RESULT failed)
  endif()
  file(REMOVE "${packed}" "${signed}" "${finished}")
  if(failed)
    file(REMOVE "${output}")
    message(FATAL_ERROR "${output} not written: ${failed}")
  endif()
endfunction()

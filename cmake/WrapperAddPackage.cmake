# wrapper_add_package(NAME <target> PAYLOAD <file or target> SETTINGS <file>
#                     [OUTPUT <file>] [LAUNCHER <file>] [SIGN_COMMAND <command>...]
#                     [VERIFY] [EXPECT_PRODUCT_ID <id>])
#
# Adds the target <target>, built by default, that packs the installer PAYLOAD (a file, or
# a target whose file it is) with the launcher and the settings file into OUTPUT (default
# <target>.exe in the current binary folder). It packs again whenever the payload, the
# settings file, the launcher or wrapper-pack changes.
#
# SIGN_COMMAND signs the package: its arguments are a command in which <IN> stands for the
# unsigned package and <OUT> for the signed one it must write, e.g.
#   SIGN_COMMAND osslsigncode sign -pkcs12 release.p12 -in <IN> -out <OUT>
# VERIFY runs wrapper-inspect --verify on the (signed) package, with EXPECT_PRODUCT_ID as
# --expect-product-id; a package that fails is not put in place. OUTPUT appears only
# when every step succeeded. Relative paths are taken from the current source folder,
# except OUTPUT, which is taken from the current binary folder.
#
# The target's property WRAPPER_PACKAGE_FILE holds the package's path.

function(wrapper_add_package)
  cmake_parse_arguments(PARSE_ARGV 0 arg "VERIFY"
    "NAME;PAYLOAD;SETTINGS;OUTPUT;LAUNCHER;EXPECT_PRODUCT_ID" "SIGN_COMMAND")
  if(arg_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "wrapper_add_package: unknown arguments: ${arg_UNPARSED_ARGUMENTS}")
  endif()
  foreach(required IN ITEMS NAME PAYLOAD SETTINGS)
    if(NOT arg_${required})
      message(FATAL_ERROR "wrapper_add_package: ${required} is required")
    endif()
  endforeach()
  if(arg_EXPECT_PRODUCT_ID AND NOT arg_VERIFY)
    message(FATAL_ERROR "wrapper_add_package: EXPECT_PRODUCT_ID is checked by VERIFY")
  endif()
  if("SIGN_COMMAND" IN_LIST arg_KEYWORDS_MISSING_VALUES)
    message(FATAL_ERROR "wrapper_add_package: SIGN_COMMAND needs a command")
  endif()

  set(output "${CMAKE_CURRENT_BINARY_DIR}/${arg_NAME}.exe")
  if(arg_OUTPUT)
    cmake_path(ABSOLUTE_PATH arg_OUTPUT BASE_DIRECTORY "${CMAKE_CURRENT_BINARY_DIR}"
               OUTPUT_VARIABLE output)
  endif()
  cmake_path(ABSOLUTE_PATH arg_SETTINGS BASE_DIRECTORY "${CMAKE_CURRENT_SOURCE_DIR}"
             OUTPUT_VARIABLE settings)
  if(TARGET "${arg_PAYLOAD}")
    set(payload "$<TARGET_FILE:${arg_PAYLOAD}>")
    set(payload_depends "${arg_PAYLOAD}" "${payload}")
  else()
    cmake_path(ABSOLUTE_PATH arg_PAYLOAD BASE_DIRECTORY "${CMAKE_CURRENT_SOURCE_DIR}"
               OUTPUT_VARIABLE payload)
    set(payload_depends "${payload}")
  endif()
  set(launcher "${WRAPPER_LAUNCHER}")
  if(arg_LAUNCHER)
    cmake_path(ABSOLUTE_PATH arg_LAUNCHER BASE_DIRECTORY "${CMAKE_CURRENT_SOURCE_DIR}"
               OUTPUT_VARIABLE launcher)
  endif()

  # The old package goes first, and every step writes beside the output under names of its
  # own; the last one renames the finished package into place. A failed signature or check
  # leaves no package, neither a new one nor the one made from the old inputs.
  set(work "${CMAKE_CURRENT_BINARY_DIR}/${arg_NAME}.wrapper-package")
  set(packed "${work}/packed.exe")
  set(commands
    COMMAND "${CMAKE_COMMAND}" -E rm -rf "${work}" "${output}"
    COMMAND "${CMAKE_COMMAND}" -E make_directory "${work}"
    COMMAND wrapper::wrapper-pack --launcher "${launcher}" --payload "${payload}"
            --settings "${settings}" --output "${packed}")
  set(finished "${packed}")
  if(arg_SIGN_COMMAND)
    set(finished "${work}/signed.exe")
    list(TRANSFORM arg_SIGN_COMMAND REPLACE "<IN>" "${packed}")
    list(TRANSFORM arg_SIGN_COMMAND REPLACE "<OUT>" "${finished}")
    list(APPEND commands COMMAND ${arg_SIGN_COMMAND})
  endif()
  if(arg_VERIFY)
    set(expect)
    if(arg_EXPECT_PRODUCT_ID)
      set(expect --expect-product-id "${arg_EXPECT_PRODUCT_ID}")
    endif()
    list(APPEND commands COMMAND wrapper::wrapper-inspect --verify ${expect} "${finished}")
  endif()
  list(APPEND commands
    COMMAND "${CMAKE_COMMAND}" -E rename "${finished}" "${output}"
    COMMAND "${CMAKE_COMMAND}" -E rm -rf "${work}")

  add_custom_command(OUTPUT "${output}"
    ${commands}
    DEPENDS ${payload_depends} "${settings}" "${launcher}"
            "$<TARGET_FILE:wrapper::wrapper-pack>"
    COMMENT "Packing ${arg_NAME}: ${output}"
    VERBATIM)
  add_custom_target(${arg_NAME} ALL DEPENDS "${output}")
  set_target_properties(${arg_NAME} PROPERTIES WRAPPER_PACKAGE_FILE "${output}")
endfunction()

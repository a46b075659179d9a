# What `cmake --install` puts in place and CPack packs: the producer tools, the launcher as
# their data (wrapper-pack packs <prefix>/share/wrapper/wrapper.exe when --launcher is not
# given), the producer documentation, man pages and bash completion, and a CMake package
# (find_package(wrapper CONFIG)) with wrapper_add_package(). Beside the launcher goes the URL
# recorder, wrapper-url-recorder.exe, a Windows program for trying a package under Wine.
#
# The host build (Linux) gives a Debian package and a .tar.gz, the Windows build a .zip of
# the Windows tools and the launcher: `cpack --preset release` and `cpack --preset windows`.
# The Windows executables are linked without symbols and installed as linked: a strip would
# rewrite their headers (time and checksum), and the launcher in every package is the
# build's own, byte for byte. CPack strips the host tools (or `cmake --install --strip`).
#
# The packages are reproducible: every time stamp they hold (archive entries, man pages) is
# SOURCE_DATE_EPOCH, taken from the environment or else the time of the commit built (for
# the packages, when cpack runs: cmake/CPackOptions.cmake.in), and
# the programs hold no build path. Each installation lists its files' SHA-256 in
# share/doc/wrapper/SHA256SUMS.

include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# The tools find the launcher at ../share/wrapper/wrapper.exe from their own folder: the
# layout is fixed.
set(WRAPPER_INSTALL_DATADIR share/wrapper)

if(DEFINED ENV{SOURCE_DATE_EPOCH})
  set(WRAPPER_SOURCE_DATE_EPOCH "$ENV{SOURCE_DATE_EPOCH}")
else()
  execute_process(COMMAND git -C ${PROJECT_SOURCE_DIR} log -1 --format=%ct
    OUTPUT_VARIABLE WRAPPER_SOURCE_DATE_EPOCH OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
endif()
if(NOT WRAPPER_SOURCE_DATE_EPOCH MATCHES "^[0-9]+$")
  set(WRAPPER_SOURCE_DATE_EPOCH 0)
endif()

if(WIN32)
  install(PROGRAMS $<TARGET_FILE:wrapper-pack> $<TARGET_FILE:wrapper-inspect>
    $<TARGET_FILE:wrapper-stamp> DESTINATION bin)
  install(FILES $<TARGET_FILE:wrapper> $<TARGET_FILE:wrapper-url-recorder>
    DESTINATION ${WRAPPER_INSTALL_DATADIR})
else()
  install(TARGETS wrapper-pack wrapper-inspect wrapper-stamp RUNTIME DESTINATION bin)
  # The launcher is a Windows program: the host installs the one the windows preset built,
  # or whichever this names (a launcher built with another product id, say).
  set(WRAPPER_LAUNCHER_FILE "${WRAPPER_WINDOWS_LAUNCHER}"
    CACHE FILEPATH "The launcher (wrapper.exe) to install with the host tools")
  install(FILES ${WRAPPER_LAUNCHER_FILE} DESTINATION ${WRAPPER_INSTALL_DATADIR})
  # The URL recorder does not depend on the product id: always the windows preset's.
  install(FILES ${WRAPPER_WINDOWS_URL_RECORDER} DESTINATION ${WRAPPER_INSTALL_DATADIR})
endif()

install(FILES README.md docs/package-format.md LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR})

if(NOT WIN32)
  # Man pages from the tools' own --help and --version, so they say what the tools do, with
  # each tool's examples and references from cmake/man/<tool>.h2m.
  find_program(HELP2MAN_PROGRAM help2man)
  find_program(GZIP_PROGRAM gzip)
  if(HELP2MAN_PROGRAM AND GZIP_PROGRAM)
    set(man_pages)
    foreach(tool IN ITEMS wrapper-pack wrapper-inspect wrapper-stamp)
      set(page ${PROJECT_BINARY_DIR}/man/${tool}.1)
      if(tool STREQUAL "wrapper-pack")
        set(summary "write a self-extracting install package")
      elseif(tool STREQUAL "wrapper-stamp")
        set(summary "stamp a campaign into a signed install package")
      else()
        set(summary "show, verify and unpack a self-extracting install package")
      endif()
      # Compressed, as Debian wants them; gzip -n stores no name or time.
      add_custom_command(OUTPUT ${page}.gz
        COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
        COMMAND ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=${WRAPPER_SOURCE_DATE_EPOCH}
                ${HELP2MAN_PROGRAM} --no-info --no-discard-stderr --section 1
                --name ${summary} --include ${PROJECT_SOURCE_DIR}/cmake/man/${tool}.h2m
                --output ${page} $<TARGET_FILE:${tool}>
        COMMAND ${GZIP_PROGRAM} -9nf ${page}
        DEPENDS ${tool} ${PROJECT_SOURCE_DIR}/cmake/man/${tool}.h2m
        COMMENT "Man page of ${tool}"
        VERBATIM)
      list(APPEND man_pages ${page}.gz)
    endforeach()
    add_custom_target(man_pages ALL DEPENDS ${man_pages})
    install(FILES ${man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  else()
    message(STATUS "help2man or gzip not found: the man pages are not built or installed")
  endif()

  # One completion script serves every tool, installed under each name for bash-completion's
  # on-demand loading.
  foreach(tool IN ITEMS wrapper-pack wrapper-inspect wrapper-stamp)
    install(FILES Tools/packageBuilder/completion/wrapper-tools.bash
      DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME ${tool})
  endforeach()
endif()

# The CMake package: architecture-independent, so that a build that cross-compiles its
# installer for Windows finds the host's tools as well.
set(WRAPPER_CMAKE_DIR ${WRAPPER_INSTALL_DATADIR}/cmake)
set(WRAPPER_PACK_FILE bin/wrapper-pack${CMAKE_EXECUTABLE_SUFFIX})
set(WRAPPER_INSPECT_FILE bin/wrapper-inspect${CMAKE_EXECUTABLE_SUFFIX})
set(WRAPPER_LAUNCHER_INSTALLED ${WRAPPER_INSTALL_DATADIR}/wrapper.exe)
configure_package_config_file(cmake/wrapperConfig.cmake.in
  ${PROJECT_BINARY_DIR}/cmake/wrapperConfig.cmake
  INSTALL_DESTINATION ${WRAPPER_CMAKE_DIR}
  PATH_VARS WRAPPER_PACK_FILE WRAPPER_INSPECT_FILE WRAPPER_LAUNCHER_INSTALLED)
# 0.x: a minor version may change what the tools accept.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/cmake/wrapperConfigVersion.cmake
  COMPATIBILITY SameMinorVersion ARCH_INDEPENDENT)
install(FILES
  ${PROJECT_BINARY_DIR}/cmake/wrapperConfig.cmake
  ${PROJECT_BINARY_DIR}/cmake/wrapperConfigVersion.cmake
  cmake/WrapperAddPackage.cmake
  DESTINATION ${WRAPPER_CMAKE_DIR})
if(NOT WIN32)
  # A project that cross-compiles for Windows with MinGW looks for packages only under the
  # target's root, /usr/<target> for Debian's MinGW (CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY):
  # a package file there hands over to the one above.
  foreach(file IN ITEMS wrapperConfig wrapperConfigVersion)
    file(WRITE ${PROJECT_BINARY_DIR}/cmake/mingw/${file}.cmake
      "include(\"\${CMAKE_CURRENT_LIST_DIR}/../../../../${WRAPPER_CMAKE_DIR}/${file}.cmake\")\n")
  endforeach()
  foreach(target IN ITEMS i686-w64-mingw32 x86_64-w64-mingw32)
    install(FILES
      ${PROJECT_BINARY_DIR}/cmake/mingw/wrapperConfig.cmake
      ${PROJECT_BINARY_DIR}/cmake/mingw/wrapperConfigVersion.cmake
      DESTINATION ${target}/lib/cmake/wrapper)
  endforeach()
endif()

# Last: the SHA-256 of every file installed above (stripped, when the install strips).
install(CODE [[
  set(root "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}")
  file(GLOB_RECURSE files LIST_DIRECTORIES false RELATIVE "${root}" "${root}/*")
  list(REMOVE_ITEM files share/doc/wrapper/SHA256SUMS)
  list(SORT files)
  set(sums "")
  foreach(file IN LISTS files)
    file(SHA256 "${root}/${file}" sum)
    string(APPEND sums "${sum}  ${file}
")
  endforeach()
  file(WRITE "${root}/share/doc/wrapper/SHA256SUMS" "${sums}")
  list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${root}/share/doc/wrapper/SHA256SUMS")
]])

set(CPACK_PACKAGE_NAME wrapper)
set(CPACK_PACKAGE_VENDOR "wrapper")
set(CPACK_PACKAGE_CONTACT "wrapper maintainers <wrapper@example.org>" CACHE STRING
  "Maintainer named in the Debian package")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "Self-extracting install packages for Windows: launcher and producer tools")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
  "wrapper-pack joins a small Windows launcher, a product's installer and four\n"
  "settings into one self-extracting package; wrapper-inspect shows, verifies and\n"
  "unpacks one. With the launcher (wrapper.exe) and a CMake package that packs at\n"
  "build time.")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGE_CHECKSUM SHA256)
if(NOT WIN32)
  set(CPACK_STRIP_FILES ON)
endif()
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME windows-x86)
else()
  set(CPACK_GENERATOR DEB TGZ)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION devel)
  # The libraries the tools link (libcrypto, libstdc++) as dpkg-shlibdeps finds them.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # -1: a packaging of this version, with its own changelog.Debian.
  set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
  set(CPACK_DEBIAN_PACKAGE_RECOMMENDS osslsigncode)
  set(CPACK_DEBIAN_PACKAGE_SUGGESTS wine)

  # What only the Debian package carries, in its documentation folder: the licence as a
  # copyright file and the changelog, added by the generator-specific settings below.
  set(debian_doc ${PROJECT_BINARY_DIR}/debian-doc)
  file(READ LICENSE license)
  string(STRIP "${license}" license)
  string(REGEX REPLACE "\n\n" "\n.\n" license "${license}")
  string(REPLACE "\n" "\n " license "${license}")
  file(WRITE ${debian_doc}/copyright
    "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"
    "Upstream-Name: wrapper\n\n"
    "Files: *\nCopyright: The wrapper authors\nLicense: Expat\n ${license}\n")
  configure_file(cmake/debian/changelog.Debian.in ${debian_doc}/changelog.Debian @ONLY)
  execute_process(COMMAND gzip -9nf ${debian_doc}/changelog.Debian)
endif()
configure_file(cmake/CPackOptions.cmake.in ${PROJECT_BINARY_DIR}/CPackOptions.cmake @ONLY)
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_BINARY_DIR}/CPackOptions.cmake)
include(CPack)

# Run after wrapper.exe is linked: cmake -DFILE=... -DLIMIT=... -P CheckLauncherSize.cmake.
# The launcher is downloaded with every package; a link that takes it past its budget
# (WRAPPER_LAUNCHER_SIZE_LIMIT) fails the build, where no Wine is needed to see it.
file(SIZE "${FILE}" size)
if(size GREATER LIMIT)
  file(REMOVE "${FILE}")
  message(FATAL_ERROR "${FILE} is ${size} bytes, over its budget of ${LIMIT} bytes "
    "(WRAPPER_LAUNCHER_SIZE_LIMIT); removed so that the next build links it again")
endif()

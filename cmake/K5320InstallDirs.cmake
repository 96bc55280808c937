# Where an install puts things (GNUInstallDirs), and the paths between those folders that the
# installed files carry instead of absolute ones: an install works under any prefix.
include(GNUInstallDirs)

# The service's folder: private programs of the package.
set(K5320_INSTALL_SERVICEDIR "${CMAKE_INSTALL_LIBEXECDIR}/k5320")

# k5320_install_relative(OUT FROM TO): the path from install folder FROM to install folder TO
# (each relative to the prefix, or absolute), "." when they are the same.
function(k5320_install_relative out from to)
  foreach(end from to)
    if(IS_ABSOLUTE "${${end}}")
      set(${end}_path "${${end}}")
    else()
      set(${end}_path "${CMAKE_INSTALL_PREFIX}/${${end}}")
    endif()
  endforeach()
  cmake_path(RELATIVE_PATH to_path BASE_DIRECTORY "${from_path}" OUTPUT_VARIABLE relative)
  string(REGEX REPLACE "(.)/$" "\\1" relative "${relative}")
  if(relative STREQUAL "")
    set(relative ".")
  endif()
  set(${out} "${relative}" PARENT_SCOPE)
endfunction()

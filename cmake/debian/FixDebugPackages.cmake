# Run by CPack after the packages are built (CPACK_POST_BUILD_SCRIPTS): gives
# each -dbgsym package an md5sums file with paths relative to the root (CPack
# writes the paths of its staging folder) and its documentation folder as a
# link to that of the package it belongs to, as Debian's debug packages do.
# CPACK_PACKAGE_FILES: the packages in CPack's staging folder, before they
# are copied out.
set(packages ${CPACK_PACKAGE_FILES})
list(FILTER packages INCLUDE REGEX "-dbgsym_.*\\.ddeb$")
foreach(package IN LISTS packages)
  get_filename_component(folder "${package}" DIRECTORY)
  set(root "${folder}/_dbgsym_fix")
  file(REMOVE_RECURSE "${root}")
  execute_process(COMMAND dpkg-deb -R "${package}" "${root}" RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "dpkg-deb -R ${package} failed")
  endif()
  execute_process(COMMAND dpkg-deb -f "${package}" Package OUTPUT_VARIABLE name OUTPUT_STRIP_TRAILING_WHITESPACE)
  string(REGEX REPLACE "-dbgsym$" "" owner "${name}")
  file(GLOB_RECURSE files LIST_DIRECTORIES false RELATIVE "${root}" "${root}/usr/*")
  set(md5sums "")
  foreach(path IN LISTS files)
    file(MD5 "${root}/${path}" sum)
    string(APPEND md5sums "${sum}  ${path}\n")
  endforeach()
  file(WRITE "${root}/DEBIAN/md5sums" "${md5sums}")
  file(MAKE_DIRECTORY "${root}/usr/share/doc")
  file(CREATE_LINK "${owner}" "${root}/usr/share/doc/${name}" SYMBOLIC)
  execute_process(COMMAND dpkg-deb --root-owner-group -Zxz -b "${root}" "${package}" OUTPUT_QUIET RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "dpkg-deb -b ${package} failed")
  endif()
  file(REMOVE_RECURSE "${root}")
endforeach()

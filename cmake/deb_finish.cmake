# Run by cpack after it made the Debian packages (CPACK_POST_BUILD_SCRIPTS):
# adds what CPack 3.25 cannot express, and builds each package again with
# dpkg-deb.
#   - the runtime package and its -dbgsym: "Multi-Arch: same";
#   - the runtime package: the ldconfig trigger instead of the postinst and
#     postrm that run ldconfig, and a symbols file that dpkg-gensymbols makes
#     from the packaged library, so that it follows every exported function
#     without a list to keep; the standard library's template instantiations
#     in it are marked (optional), as whether they are emitted depends on the
#     compiler.
# Package-time only: nothing here runs in a build.
find_program(vexo_dpkg_deb dpkg-deb REQUIRED)
find_program(vexo_dpkg_gensymbols dpkg-gensymbols REQUIRED)

# CPack lists the .deb files and the -dbgsym .ddeb (some of them twice).
set(packages ${CPACK_PACKAGE_FILES})
list(REMOVE_DUPLICATES packages)

foreach(package_file IN LISTS packages)
  get_filename_component(root "${package_file}" NAME)
  set(root "${CPACK_PACKAGE_DIRECTORY}/_CPack_Packages/deb_finish/${root}")
  file(REMOVE_RECURSE "${root}")
  file(MAKE_DIRECTORY "${root}/..")
  execute_process(COMMAND ${vexo_dpkg_deb} -R "${package_file}" "${root}"
    COMMAND_ERROR_IS_FATAL ANY)
  execute_process(COMMAND ${vexo_dpkg_deb} -f "${package_file}" Package
    OUTPUT_VARIABLE name OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
  if(NOT (name STREQUAL CPACK_VEXO_RUNTIME_PACKAGE OR
          name STREQUAL "${CPACK_VEXO_RUNTIME_PACKAGE}-dbgsym"))
    file(REMOVE_RECURSE "${root}")
    continue()
  endif()

  # "Multi-Arch: same" after the Architecture line.
  file(READ "${root}/DEBIAN/control" control)
  if(NOT control MATCHES "Multi-Arch:")
    string(REGEX REPLACE "(Architecture: [^\n]*\n)" "\\1Multi-Arch: same\n" control "${control}")
    file(WRITE "${root}/DEBIAN/control" "${control}")
  endif()

  if(name STREQUAL "${CPACK_VEXO_RUNTIME_PACKAGE}-dbgsym")
    # Its documentation is that of the package it belongs to (as dh_strip
    # makes it), and its md5sums are written again: CPack's list names the
    # files by their absolute paths in the build tree.
    file(MAKE_DIRECTORY "${root}/usr/share/doc")
    file(CREATE_LINK ${CPACK_VEXO_RUNTIME_PACKAGE} "${root}/usr/share/doc/${name}" SYMBOLIC)
    file(GLOB_RECURSE files LIST_DIRECTORIES false RELATIVE "${root}" "${root}/usr/*")
    list(SORT files)
    set(md5sums "")
    foreach(file IN LISTS files)
      if(NOT IS_SYMLINK "${root}/${file}")
        file(MD5 "${root}/${file}" sum)
        string(APPEND md5sums "${sum}  ${file}\n")
      endif()
    endforeach()
    file(WRITE "${root}/DEBIAN/md5sums" "${md5sums}")
  endif()

  if(name STREQUAL CPACK_VEXO_RUNTIME_PACKAGE)
    file(REMOVE "${root}/DEBIAN/postinst" "${root}/DEBIAN/postrm")
    file(COPY_FILE "${CPACK_VEXO_TRIGGERS}" "${root}/DEBIAN/triggers")

    file(GLOB_RECURSE libraries "${root}/usr/lib/*/lib*.so.*")
    if(NOT libraries)
      message(FATAL_ERROR "deb_finish: no shared library in ${package_file}")
    endif()
    execute_process(
      COMMAND ${vexo_dpkg_gensymbols} -q -c0 -p${name} -v${CPACK_VEXO_UPSTREAM_VERSION}
        -P${root} -O${root}/DEBIAN/symbols.raw
      WORKING_DIRECTORY "${root}"
      COMMAND_ERROR_IS_FATAL ANY)
    file(STRINGS "${root}/DEBIAN/symbols.raw" lines)
    set(symbols "")
    foreach(line IN LISTS lines)
      if(line MATCHES "^ ")
        # _ZNSt..., _ZNKSt..., _ZTISt..., _ZN9__gnu_cxx...: instantiations of the
        # standard library's templates.
        if(line MATCHES "^ _Z(N?K?|T[ISV]N?|ZN|GVZN)(St|9__gnu_cxx)")
          string(REGEX REPLACE "^ " " (optional)" line "${line}")
        endif()
        string(APPEND symbols "${line}\n")
      else()
        string(APPEND symbols "${line}\n* Build-Depends-Package: ${CPACK_VEXO_DEV_PACKAGE}\n")
      endif()
    endforeach()
    file(WRITE "${root}/DEBIAN/symbols" "${symbols}")
    file(REMOVE "${root}/DEBIAN/symbols.raw")
    file(CHMOD "${root}/DEBIAN/symbols" "${root}/DEBIAN/triggers"
      FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  endif()

  execute_process(COMMAND ${vexo_dpkg_deb} --root-owner-group -b "${root}" "${package_file}"
    OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
  file(REMOVE_RECURSE "${root}")
  message(STATUS "deb_finish: ${name} rebuilt with Multi-Arch: same")
endforeach()

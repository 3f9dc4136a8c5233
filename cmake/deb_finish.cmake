# Run by cpack after it made the Debian packages (CPACK_POST_BUILD_SCRIPTS):
# adds what CPack 3.25 cannot express, and builds each package again with
# dpkg-deb.
#   - the runtime package, its -dbgsym and the -dev package: "Multi-Arch: same";
#   - the runtime package: the ldconfig trigger instead of the postinst and
#     postrm that run ldconfig, and a symbols file that dpkg-gensymbols makes
#     from the packaged library, so that it follows every exported function
#     without a list to keep. Each symbol is tagged with the release that
#     added it: 2.0.0 for those of the ABI baseline, the version of the first
#     tests/abi/symbols-<version>.txt that lists it, else this version; so a
#     program that uses only 2.0 symbols depends on >= 2.0.0. The standard
#     library's template instantiations in it are marked (optional), as
#     whether they are emitted depends on the compiler;
#   - the tools' package (and its -dbgsym): Depends from dpkg-shlibdeps,
#     which reads the runtime package's symbols file made here.
# Package-time only: nothing here runs in a build.
find_program(vexo_dpkg_deb dpkg-deb REQUIRED)
find_program(vexo_dpkg_gensymbols dpkg-gensymbols REQUIRED)
find_program(vexo_dpkg_shlibdeps dpkg-shlibdeps REQUIRED)

# The release that added each symbol: vexo_added_<symbol> = version.
file(STRINGS "${CPACK_VEXO_ABI_BASELINE}" baseline REGEX "<elf-symbol name='")
foreach(line IN LISTS baseline)
  string(REGEX REPLACE ".*<elf-symbol name='([^']+)'.*" "\\1" symbol "${line}")
  set("vexo_added_${symbol}" ${CPACK_VEXO_ABI_BASELINE_VERSION})
endforeach()
set(lists ${CPACK_VEXO_SYMBOL_LISTS})
list(SORT lists COMPARE NATURAL)
foreach(list_file IN LISTS lists)
  string(REGEX REPLACE ".*symbols-([0-9.]+)\\.txt$" "\\1" version "${list_file}")
  file(STRINGS "${list_file}" symbols REGEX "^[^#]")
  foreach(symbol IN LISTS symbols)
    if(NOT DEFINED "vexo_added_${symbol}")
      set("vexo_added_${symbol}" ${version})
    endif()
  endforeach()
endforeach()

# CPack lists the .deb files and the -dbgsym .ddeb (some of them twice). The
# runtime package goes first: the tools' dependencies read its symbols file.
set(packages ${CPACK_PACKAGE_FILES})
list(REMOVE_DUPLICATES packages)
set(ordered "")
foreach(package_file IN LISTS packages)
  get_filename_component(file_name "${package_file}" NAME)
  if(file_name MATCHES "^${CPACK_VEXO_RUNTIME_PACKAGE}_")
    list(PREPEND ordered "${package_file}")
  else()
    list(APPEND ordered "${package_file}")
  endif()
endforeach()
set(runtime_root "")

foreach(package_file IN LISTS ordered)
  get_filename_component(root "${package_file}" NAME)
  set(root "${CPACK_PACKAGE_DIRECTORY}/_CPack_Packages/deb_finish/${root}")
  file(REMOVE_RECURSE "${root}")
  file(MAKE_DIRECTORY "${root}/..")
  execute_process(COMMAND ${vexo_dpkg_deb} -R "${package_file}" "${root}"
    COMMAND_ERROR_IS_FATAL ANY)
  execute_process(COMMAND ${vexo_dpkg_deb} -f "${package_file}" Package
    OUTPUT_VARIABLE name OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
  set(multi_arch_same ${CPACK_VEXO_RUNTIME_PACKAGE} ${CPACK_VEXO_RUNTIME_PACKAGE}-dbgsym
    ${CPACK_VEXO_DEV_PACKAGE})
  set(tools ${CPACK_VEXO_TOOLS_PACKAGE} ${CPACK_VEXO_TOOLS_PACKAGE}-dbgsym)
  if(NOT (name IN_LIST multi_arch_same OR name IN_LIST tools))
    file(REMOVE_RECURSE "${root}")
    continue()
  endif()

  # "Multi-Arch: same" after the Architecture line.
  file(READ "${root}/DEBIAN/control" control)
  if(name IN_LIST multi_arch_same AND NOT control MATCHES "Multi-Arch:")
    string(REGEX REPLACE "(Architecture: [^\n]*\n)" "\\1Multi-Arch: same\n" control "${control}")
    file(WRITE "${root}/DEBIAN/control" "${control}")
  endif()

  if(name STREQUAL CPACK_VEXO_TOOLS_PACKAGE)
    # dpkg-shlibdeps finds the library in the runtime package's tree (-S)
    # and reads the symbols file there; it wants a debian/control to exist.
    if(NOT runtime_root)
      message(FATAL_ERROR "deb_finish: the runtime package must come before ${name}")
    endif()
    set(work "${root}.shlibdeps")
    file(MAKE_DIRECTORY "${work}/debian")
    file(WRITE "${work}/debian/control" "")
    file(GLOB programs "${root}/usr/bin/*")
    execute_process(
      COMMAND ${vexo_dpkg_shlibdeps} -O -S${runtime_root} ${programs}
      WORKING_DIRECTORY "${work}" OUTPUT_VARIABLE substvars OUTPUT_STRIP_TRAILING_WHITESPACE
      COMMAND_ERROR_IS_FATAL ANY)
    file(REMOVE_RECURSE "${work}")
    string(REGEX REPLACE ".*shlibs:Depends=([^\n]*).*" "\\1" depends "${substvars}")
    if(NOT depends MATCHES "${CPACK_VEXO_RUNTIME_PACKAGE}")
      message(FATAL_ERROR "deb_finish: no dependency on the library for ${name}: ${substvars}")
    endif()
    string(REGEX REPLACE "Depends: [^\n]*\n" "" control "${control}")
    string(REGEX REPLACE "(Architecture: [^\n]*\n)" "\\1Depends: ${depends}\n" control
      "${control}")
    file(WRITE "${root}/DEBIAN/control" "${control}")
  endif()

  if(name MATCHES "-dbgsym$")
    # Its documentation is that of the package it belongs to (as dh_strip
    # makes it), and its md5sums are written again: CPack's list names the
    # files by their absolute paths in the build tree.
    string(REGEX REPLACE "-dbgsym$" "" owner "${name}")
    file(MAKE_DIRECTORY "${root}/usr/share/doc")
    file(CREATE_LINK ${owner} "${root}/usr/share/doc/${name}" SYMBOLIC)
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
      if(line MATCHES "^ ([^ @]+)@Base ")
        set(symbol ${CMAKE_MATCH_1})
        if(DEFINED "vexo_added_${symbol}")
          set(version ${vexo_added_${symbol}})
        else()
          set(version ${CPACK_VEXO_UPSTREAM_VERSION})
        endif()
        string(REGEX REPLACE "@Base .*" "@Base ${version}" line "${line}")
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
  if(name STREQUAL CPACK_VEXO_RUNTIME_PACKAGE)
    set(runtime_root "${root}")  # for the tools' dependencies; removed at the end
  else()
    file(REMOVE_RECURSE "${root}")
  endif()
  message(STATUS "deb_finish: ${name} rebuilt")
endforeach()
if(runtime_root)
  file(REMOVE_RECURSE "${runtime_root}")
endif()

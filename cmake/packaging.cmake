# Debian packages with CPack: `cpack -G DEB` in a build tree configured with
# CMAKE_INSTALL_PREFIX=/usr (the `package` preset does both, with Debian's
# hardening flags) makes
#   libvexo-util<SOVERSION>         the shared library, stripped, Multi-Arch: same,
#                                   with shlibs, a symbols file and the ldconfig trigger;
#   libvexo-util<SOVERSION>-dbgsym  its debug information (a .ddeb);
#   libvexo-util-dev                headers, the CMake package files and the pkg-config
#                                   file, Multi-Arch: same, depending on the runtime
#                                   package of the same version;
#   vexo-util-tools (+ -dbgsym)     the example tools as vexo-sha3sum and vexo-hash-tree,
#                                   with a manual page each (when the examples are built);
#   libvexo-util-doc                the HTML reference under /usr/share/doc/<package>/html,
#                                   registered with doc-base (when VEXO_INSTALL_DOCS is on).
# Each carries a copyright file and changelog.Debian.gz. What CPack cannot
# express (Multi-Arch, the trigger instead of ldconfig in postinst/postrm, the
# symbols file, the tools' dependencies) is added to the finished packages by
# cmake/deb_finish.cmake.
set(VEXO_DEB_MAINTAINER "vexo_util developers <vexo-util@example.org>"
  CACHE STRING "Maintainer field of the Debian packages: \"Name <address>\"")
set(vexo_runtime_package "libvexo-util${PROJECT_VERSION_MAJOR}")
set(vexo_development_package "libvexo-util-dev")
set(vexo_dev_package ${vexo_development_package})
set(vexo_tools_package "vexo-util-tools")
set(vexo_doc_package "libvexo-util-doc")
set(VEXO_DEB_SOURCE "vexo-util")
set(VEXO_DEB_VERSION "${PROJECT_VERSION}-1")

set(CPACK_PACKAGE_NAME "libvexo-util")
set(CPACK_PACKAGE_VENDOR "vexo_util developers")
set(CPACK_PACKAGE_CONTACT "${VEXO_DEB_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "C++20 utilities: thread pool, SHA-3/SHAKE, text, time and directory helpers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_COMPONENTS_ALL runtime development)
if(VEXO_BUILD_EXAMPLES)
  list(APPEND CPACK_COMPONENTS_ALL tools)
endif()
if(VEXO_INSTALL_DOCS)
  list(APPEND CPACK_COMPONENTS_ALL doc)
endif()
set(CPACK_DEB_COMPONENT_INSTALL ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${VEXO_DEB_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SOURCE ${VEXO_DEB_SOURCE})
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME ${vexo_runtime_package})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_RUNTIME_DEBUGINFO_PACKAGE ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME ${vexo_dev_package})
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS "${vexo_runtime_package} (= ${VEXO_DEB_VERSION})")
set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME ${vexo_tools_package})
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_TOOLS_DEBUGINFO_PACKAGE ON)
# Its Depends come from dpkg-shlibdeps in deb_finish.cmake, which reads the
# runtime package's symbols file made there.
set(CPACK_DEBIAN_TOOLS_PACKAGE_SHLIBDEPS OFF)
set(CPACK_DEBIAN_DOC_PACKAGE_NAME ${vexo_doc_package})
set(CPACK_DEBIAN_DOC_PACKAGE_SECTION doc)
set(CPACK_DEBIAN_DOC_PACKAGE_ARCHITECTURE all)
# Lines of at most 80 characters.
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION
  "The shared library: thread pool, SHA-3, SHAKE and KT hashing, text and time.")
set(CPACK_COMPONENT_DEVELOPMENT_DESCRIPTION
  "Headers, CMake package files and pkg-config file for building against it.")
set(CPACK_COMPONENT_TOOLS_DESCRIPTION
  "SHA-3, SHAKE, TurboSHAKE and KT checksums of files, and manifests of trees.\n\
vexo-sha3sum prints or checks checksums with the options and messages of the\n\
coreutils checksum programs (-c, --tag, --status, ...); vexo-hash-tree hashes\n\
every file under directories on a thread pool and writes a manifest that\n\
vexo-sha3sum -c checks.")
set(CPACK_COMPONENT_DOC_DESCRIPTION
  "HTML reference of the vexo_util C++ library.\n\
The contract of every public declaration (thread pool, SHA-3 and Keccak\n\
family hashing, text, time and directory helpers), with an overview page.")

# Read by deb_finish.cmake when cpack runs.
set(CPACK_POST_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/deb_finish.cmake)
set(CPACK_VEXO_RUNTIME_PACKAGE ${vexo_runtime_package})
set(CPACK_VEXO_DEV_PACKAGE ${vexo_dev_package})
set(CPACK_VEXO_UPSTREAM_VERSION ${PROJECT_VERSION})
set(CPACK_VEXO_TRIGGERS ${PROJECT_SOURCE_DIR}/cmake/debian/triggers)
set(CPACK_VEXO_TOOLS_PACKAGE ${vexo_tools_package})
# The version that added each exported symbol, for the symbols file: the
# 2.0.0 ABI baseline, then the list of each later release
# (tests/abi/symbols-<version>.txt, mangled names); a symbol in none of them is
# new in this version.
set(CPACK_VEXO_ABI_BASELINE ${PROJECT_SOURCE_DIR}/tests/abi/libvexo_util.abi)
set(CPACK_VEXO_ABI_BASELINE_VERSION 2.0.0)
file(GLOB CPACK_VEXO_SYMBOL_LISTS ${PROJECT_SOURCE_DIR}/tests/abi/symbols-*.txt)

# /usr/share/doc/<package>/: copyright, the Debian changelog and the upstream
# one, compressed as Debian wants them (gzip -9n: no name, no time stamp).
# Installed only under /usr, where the packages are made. The date is
# SOURCE_DATE_EPOCH when it is set, for reproducible packages.
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  find_program(VEXO_GZIP gzip REQUIRED)
  string(TIMESTAMP VEXO_DEB_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
  set(vexo_deb_dir ${PROJECT_BINARY_DIR}/debian)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/debian/changelog.in ${vexo_deb_dir}/changelog.Debian
    @ONLY)
  # COPYONLY makes a change of CHANGELOG.md configure again.
  configure_file(${PROJECT_SOURCE_DIR}/CHANGELOG.md ${vexo_deb_dir}/changelog COPYONLY)
  foreach(name changelog.Debian changelog)
    execute_process(COMMAND ${VEXO_GZIP} -9nc ${name}
      WORKING_DIRECTORY ${vexo_deb_dir} OUTPUT_FILE ${vexo_deb_dir}/${name}.gz
      COMMAND_ERROR_IS_FATAL ANY)
  endforeach()
  set(vexo_deb_docs ${PROJECT_SOURCE_DIR}/cmake/debian/copyright
    ${vexo_deb_dir}/changelog.Debian.gz ${vexo_deb_dir}/changelog.gz)
  foreach(component IN LISTS CPACK_COMPONENTS_ALL)
    set(package ${vexo_${component}_package})
    install(FILES ${vexo_deb_docs}
      DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package} COMPONENT ${component})
    # One lintian tag does not apply: the packages are not uploaded to
    # Debian's archive, so there is no bug asking for them to close.
    file(WRITE ${vexo_deb_dir}/${package}.lintian-overrides
      "# Not uploaded to Debian's archive: there is no ITP bug to close.\n"
      "${package}: initial-upload-closes-no-bugs\n")
    install(FILES ${vexo_deb_dir}/${package}.lintian-overrides
      DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME ${package}
      COMPONENT ${component})
  endforeach()
  # The tools' manual pages, compressed as Debian wants them.
  if(VEXO_BUILD_EXAMPLES)
    foreach(tool vexo-sha3sum vexo-hash-tree)
      configure_file(${PROJECT_SOURCE_DIR}/cmake/debian/${tool}.1 ${vexo_deb_dir}/${tool}.1 @ONLY)
      execute_process(COMMAND ${VEXO_GZIP} -9nc ${tool}.1
        WORKING_DIRECTORY ${vexo_deb_dir} OUTPUT_FILE ${vexo_deb_dir}/${tool}.1.gz
        COMMAND_ERROR_IS_FATAL ANY)
      install(FILES ${vexo_deb_dir}/${tool}.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
        COMPONENT tools)
    endforeach()
  endif()
  # The reference, registered with doc-base.
  if(VEXO_INSTALL_DOCS)
    configure_file(${PROJECT_SOURCE_DIR}/cmake/debian/doc-base.in
      ${vexo_deb_dir}/${vexo_doc_package}.doc-base @ONLY)
    install(FILES ${vexo_deb_dir}/${vexo_doc_package}.doc-base
      DESTINATION ${CMAKE_INSTALL_DATADIR}/doc-base RENAME ${vexo_doc_package} COMPONENT doc)
  endif()
endif()

include(CPack)

# Debian packages with CPack: `cpack -G DEB` in a build tree configured with
# CMAKE_INSTALL_PREFIX=/usr (the `package` preset does both) makes
#   libvexo-util<SOVERSION>  the shared library, with shlibs and ldconfig triggers;
#   libvexo-util-dev         headers, the CMake package files and the pkg-config file,
#                            depending on the runtime package of the same version.
set(CPACK_PACKAGE_NAME "libvexo-util")
set(CPACK_PACKAGE_VENDOR "vexo_util developers")
set(CPACK_PACKAGE_CONTACT "vexo_util developers <vexo-util@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "C++20 utilities: thread pool, SHA-3/SHAKE, text, time and directory helpers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_COMPONENTS_ALL runtime development)
set(CPACK_DEB_COMPONENT_INSTALL ON)

set(vexo_runtime_package "libvexo-util${PROJECT_VERSION_MAJOR}")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME ${vexo_runtime_package})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME "libvexo-util-dev")
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS
  "${vexo_runtime_package} (= ${PROJECT_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE})")
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION
  "Shared library of vexo_util: thread pool with start times, SHA-3/SHAKE, text, time and directory helpers")
set(CPACK_COMPONENT_DEVELOPMENT_DESCRIPTION
  "Headers, CMake package files and pkg-config file for building against vexo_util")

include(CPack)

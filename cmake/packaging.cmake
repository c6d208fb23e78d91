# Install rules and the Debian packages, built with `cpack -G DEB` by
# scripts/package. Every installed file belongs to one component, and each
# component is one package:
#
#   tools    mif-tools      the bench PC: mifctl, mif-console, mif-sim,
#                           checkpak, their manual pages, mifctl's bash
#                           completion, and whatever else installs into
#                           this component (the Python package, the
#                           Ansible collection)
#   devkeys  mif-dev-keys   the development key pairs, whose private halves
#                           are public: for -r ROLE and simulation only
#   daemon   mifd           the appliance's daemon, when the build has the
#                           field profile (-DMIF_FIELD_BUILD=ON)
#            mifd-devkeys   the same daemon built with the development role
#                           keys, for simulation; it conflicts with mifd
#                           and provides nothing, so that no appliance image
#                           that asks for mifd can take it
#
# The PC's packages come from a PC build and the daemon's from the target
# build; scripts/package picks the components of each.
include(GNUInstallDirs)

# Installing (and cpack, which installs) builds nothing first: a package
# takes the few programs scripts/package builds, not the whole test suite.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

set(MIF_PACKAGE_DIR ${CMAKE_BINARY_DIR}/package-files)
set(MIF_DOC_TEMPLATES ${PROJECT_SOURCE_DIR}/cmake/package)

if(MIF_FIELD_BUILD)
  set(MIF_DAEMON_PACKAGE mifd)
else()
  set(MIF_DAEMON_PACKAGE mifd-devkeys)
endif()

# ------------------------------------------------------------ manual pages

# Each program's manual page is made from its own --help and --version by
# help2man, so that the page and the program cannot disagree; extra
# sections come from an include file. The pages are built by the target
# mif-package-files, which scripts/package builds before cpack: the test
# builds never run help2man (a sanitizer build would check its runs too).
find_program(MIF_HELP2MAN help2man)
find_program(MIF_GZIP gzip REQUIRED)
add_custom_target(mif-package-files)

# mif_add_manpage(TARGET SECTION "one-line description" [INCLUDE_FROM_HELP]):
# INCLUDE_FROM_HELP adds the program's `PROGRAM help` listing as the
# COMMANDS section (mifctl: every command of its catalogue).
function(mif_add_manpage target section description)
  cmake_parse_arguments(M "INCLUDE_FROM_HELP" "" "" ${ARGN})
  if(NOT TARGET ${target})
    return()
  endif()
  if(NOT MIF_HELP2MAN)
    message(WARNING "help2man is missing (scripts/setup installs it): no manual page of ${target}")
    return()
  endif()
  set(page ${MIF_PACKAGE_DIR}/man/${target}.${section}.gz)
  add_custom_command(
    OUTPUT ${page}
    COMMAND ${CMAKE_COMMAND} -DHELP2MAN=${MIF_HELP2MAN} -DGZIP=${MIF_GZIP} -DPROGRAM=$<TARGET_FILE:${target}>
            "-DEMULATOR=${MIF_TEST_EMULATOR}" -DSECTION=${section} "-DDESCRIPTION=${description}"
            -DCOMMANDS=$<BOOL:${M_INCLUDE_FROM_HELP}> -DOUTPUT=${page} -P ${PROJECT_SOURCE_DIR}/cmake/manpage.cmake
    DEPENDS ${target} ${PROJECT_SOURCE_DIR}/cmake/manpage.cmake
    COMMENT "Manual page of ${target}"
    VERBATIM)
  add_custom_target(manpage-${target} DEPENDS ${page})
  add_dependencies(mif-package-files manpage-${target})
  if(section EQUAL 8)
    set(component daemon)
  else()
    set(component tools)
  endif()
  install(FILES ${page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section} COMPONENT ${component})
endfunction()

# ------------------------------------------------ documentation per package

string(TIMESTAMP MIF_PACKAGE_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
set(MIF_PACKAGE_MAINTAINER "Machine Interface maintainers <mif-maintainers@machine-interface.example.org>")

# Debian's policy wants a copyright file and a changelog in every package's
# documentation directory, the changelog compressed without a time stamp.
function(mif_package_docs package component)
  set(dir ${MIF_PACKAGE_DIR}/doc/${package})
  set(PACKAGE ${package})
  configure_file(${MIF_DOC_TEMPLATES}/changelog.in ${dir}/changelog @ONLY)
  execute_process(COMMAND ${MIF_GZIP} -9nf ${dir}/changelog RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "cannot compress ${dir}/changelog")
  endif()
  install(FILES ${MIF_DOC_TEMPLATES}/copyright ${dir}/changelog.gz
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package} COMPONENT ${component})
endfunction()

# ------------------------------------------------------------------ daemon

install(TARGETS mifd RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR} COMPONENT daemon)
add_dependencies(mif-package-files mifd)
mif_add_manpage(mifd 8 "the Machine Interface service daemon of the appliance")
mif_package_docs(${MIF_DAEMON_PACKAGE} daemon)

# ------------------------------------------------------------------- tools

# The PC's programs; a target build has no use for them outside its tests.
if(NOT CMAKE_CROSSCOMPILING)
  install(TARGETS mifctl mif-console mif-sim checkpak RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
  add_dependencies(mif-package-files mifctl mif-console mif-sim checkpak)
  mif_add_manpage(mifctl 1 "the Machine Interface service client" INCLUDE_FROM_HELP)
  mif_add_manpage(mif-console 1 "the Machine Interface service console in a browser")
  mif_add_manpage(mif-sim 1 "the simulated appliance around the Machine Interface daemon")
  mif_add_manpage(checkpak 1 "check a data package's signature")
  mif_package_docs(mif-tools tools)

  # mifctl's bash completion, written at build time from the catalogue by
  # a small program that shares it, so that it knows every command.
  add_executable(mifctl-completion ${PROJECT_SOURCE_DIR}/tools/mifctl/completion.cpp)
  target_link_libraries(mifctl-completion PRIVATE mifctl_core)
  set_target_properties(mifctl-completion PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/libexec)
  set(MIF_COMPLETION ${MIF_PACKAGE_DIR}/completion/mifctl)
  add_custom_command(
    OUTPUT ${MIF_COMPLETION}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${MIF_PACKAGE_DIR}/completion
    COMMAND mifctl-completion ${MIF_COMPLETION}
    DEPENDS mifctl-completion
    COMMENT "Bash completion of mifctl"
    VERBATIM)
  add_custom_target(mifctl-bash-completion ALL DEPENDS ${MIF_COMPLETION})
  add_dependencies(mif-package-files mifctl-bash-completion)
  install(FILES ${PROJECT_SOURCE_DIR}/cmake/package/mif-tools.lintian-overrides
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides RENAME mif-tools COMPONENT tools)
  # The Python package's extension is a built file of the tools component
  # too (its sources and the collection are plain files).
  if(TARGET mif_python_core)
    add_dependencies(mif-package-files mif_python_core)
  endif()
  install(FILES ${MIF_COMPLETION} DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/bash-completion/completions
          COMPONENT tools)

  # The development keys: the private halves for -r ROLE and mif-sim
  # sign-package, the public ones for checkpak -k and the daemon's builds.
  file(GLOB MIF_DEV_KEY_FILES ${PROJECT_SOURCE_DIR}/keys/dev/*.pem ${PROJECT_SOURCE_DIR}/keys/dev/*.der)
  install(FILES ${MIF_DEV_KEY_FILES} DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/mif-tools/dev-keys
          PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ COMPONENT devkeys)
  mif_package_docs(mif-dev-keys devkeys)
endif()

# ------------------------------------------------------------------- CPack

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME machine-interface)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${MIF_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# Stripped programs. The field daemon's symbols go to mifd-dbgsym: CPack
# splits them off and strips the program itself, from the unstripped file.
if(MIF_FIELD_BUILD)
  set(CPACK_STRIP_FILES OFF)
else()
  set(CPACK_STRIP_FILES ON)
endif()
# Directories as Debian's tools make them, whatever the builder's umask.
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${MIF_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://machine-interface.example.org/")
# Dependencies come from the shared libraries the programs load. A target
# build has no armhf package database for dpkg-shlibdeps to ask:
# scripts/package reads the sysroot's shlibs files and gives cpack the
# daemon's Depends.
if(NOT CMAKE_CROSSCOMPILING)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()
if(CMAKE_CROSSCOMPILING)
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE armhf)
  # The target's binutils strip and split the debug symbols.
  set(CPACK_OBJCOPY_EXECUTABLE ${CMAKE_OBJCOPY})
  set(CPACK_READELF_EXECUTABLE ${CMAKE_READELF})
  set(CPACK_STRIP_EXECUTABLE ${CMAKE_STRIP})
endif()

set(CPACK_COMPONENTS_ALL tools devkeys daemon)
set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME mif-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_TOOLS_PACKAGE_RECOMMENDS "bash-completion")
set(CPACK_DEBIAN_TOOLS_PACKAGE_SUGGESTS "mif-dev-keys, ansible, python3-pytest")
# The Python package's extension is built for one interpreter version, and
# pybind11 extensions do not link libpython, so no shared library says so.
if(TARGET mif_python_core)
  find_package(Python3 COMPONENTS Interpreter REQUIRED)
  math(EXPR _mif_python_next "${Python3_VERSION_MINOR} + 1")
  set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS
      "python3 (>= ${Python3_VERSION_MAJOR}.${Python3_VERSION_MINOR}~), python3 (<< ${Python3_VERSION_MAJOR}.${_mif_python_next})")
endif()
string(CONCAT CPACK_COMPONENT_TOOLS_DESCRIPTION
    "Machine Interface service tools for a technician's PC\n"
    "mifctl, the service client of the appliance's Machine Interface daemon;\n"
    "mif-console, the service console in a browser; mif-sim, a simulated\n"
    "appliance around the daemon; checkpak, the data package checker.\n"
    "With manual pages and bash completion.")

set(CPACK_DEBIAN_DEVKEYS_PACKAGE_NAME mif-dev-keys)
set(CPACK_DEBIAN_DEVKEYS_PACKAGE_ARCHITECTURE all)
set(CPACK_DEBIAN_DEVKEYS_PACKAGE_SHLIBDEPS OFF)
string(CONCAT CPACK_COMPONENT_DEVKEYS_DESCRIPTION
    "Machine Interface development keys (insecure: development only)\n"
    "The development role and package key pairs of the Machine Interface,\n"
    "private halves included, for mifctl -r ROLE and the simulated appliance.\n"
    "Their private keys are public: no field appliance accepts them.")

set(CPACK_DEBIAN_DAEMON_PACKAGE_NAME ${MIF_DAEMON_PACKAGE})
set(CPACK_DEBIAN_DAEMON_PACKAGE_SECTION admin)
if(MIF_FIELD_BUILD)
  set(CPACK_DEBIAN_DAEMON_DEBUGINFO_PACKAGE ON)
  string(CONCAT CPACK_COMPONENT_DAEMON_DESCRIPTION
      "Machine Interface service daemon of the appliance (field build)\n"
      "The daemon that serves the appliance's service, test-lab, developer and\n"
      "production clients over TCP, built with the field role keys.")
else()
  set(CPACK_DEBIAN_DAEMON_PACKAGE_CONFLICTS mifd)
  string(CONCAT CPACK_COMPONENT_DAEMON_DESCRIPTION
      "Machine Interface daemon with the development keys (simulation only)\n"
      "The Machine Interface daemon built with the development role keys, whose\n"
      "private halves are public: for development and the simulated appliance\n"
      "on a PC, never for the field. Its --version says so.")
endif()

include(CPack)

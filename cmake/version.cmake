# The one version string of every program: the project's version, written
# into a header at configure time. Programs print it for --version, and the
# manual pages and the Debian packages take it from there.
configure_file(${CMAKE_CURRENT_LIST_DIR}/mif_version.h.in ${CMAKE_BINARY_DIR}/generated/mif_version.h @ONLY)
add_library(mif_version INTERFACE)
target_include_directories(mif_version INTERFACE ${CMAKE_BINARY_DIR}/generated)

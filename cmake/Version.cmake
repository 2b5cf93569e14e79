# The one version number of every program and of the package: the project's
# version, handed to the programs as TARVO_VERSION through the generated
# header "tarvo_version.h" (#include it; the folder is on every target's
# include path).
configure_file(${CMAKE_CURRENT_LIST_DIR}/tarvo_version.h.in ${CMAKE_BINARY_DIR}/generated/tarvo_version.h @ONLY)
include_directories(${CMAKE_BINARY_DIR}/generated)

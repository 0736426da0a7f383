# SPDX-License-Identifier: BSD-2-Clause
# The CMake package of the tolv support library: find_package(tolv) gives the target tolv::tolv
# (headers as <tolv/pex/pipeline.h>; from C as well as C++).
include("${CMAKE_CURRENT_LIST_DIR}/tolvTargets.cmake")

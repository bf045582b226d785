# CMake package of the depth camera SDK installed in the vendor's layout:
# <root>/include/libobsensor, <root>/lib/libOrbbecSDK.so.2, this file in
# <root>/lib/cmake/OrbbecSDK. Defines OrbbecSDK::OrbbecSDK.
include(CMakeFindDependencyMacro)
find_dependency(Threads)

get_filename_component(_obsdk_root "${CMAKE_CURRENT_LIST_DIR}/../../.." ABSOLUTE)
if(NOT TARGET OrbbecSDK::OrbbecSDK)
  add_library(OrbbecSDK::OrbbecSDK SHARED IMPORTED)
  set_target_properties(OrbbecSDK::OrbbecSDK PROPERTIES
    IMPORTED_LOCATION "${_obsdk_root}/lib/libOrbbecSDK.so.2"
    IMPORTED_SONAME "libOrbbecSDK.so.2"
    INTERFACE_INCLUDE_DIRECTORIES "${_obsdk_root}/include"
    INTERFACE_LINK_LIBRARIES Threads::Threads)
endif()
set(OrbbecSDK_INCLUDE_DIRS "${_obsdk_root}/include")
set(OrbbecSDK_LIBS OrbbecSDK::OrbbecSDK)
unset(_obsdk_root)

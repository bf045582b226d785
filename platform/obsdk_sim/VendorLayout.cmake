# The simulated camera as a drop-in for the vendor's SDK: a shared library with
# the vendor's file name (libOrbbecSDK.so.2), headers under include/libobsensor
# and a CMake package, installed with
#   cmake --build <build> --target kavrel_obsdk_standin
#   cmake --install <build> --component obsdk_standin --prefix <sdk root>
# A build configured with -DKAVREL_USE_VENDOR_OBSDK=ON -DOrbbecSDK_ROOT=<sdk root>
# then takes the same road as on a board with the real SDK.

set(KAVREL_OBSDK_STANDIN_VERSION 2.0.0)
add_library(kavrel_obsdk_standin SHARED EXCLUDE_FROM_ALL
  ${KAVREL_OBSDK_SIM_SOURCES}
  # The logging facade is a static library built without -fPIC; compile it in.
  ${PROJECT_SOURCE_DIR}/base/log/Log.cpp)
set_target_properties(kavrel_obsdk_standin PROPERTIES
  OUTPUT_NAME OrbbecSDK
  VERSION ${KAVREL_OBSDK_STANDIN_VERSION}
  SOVERSION 2)
target_include_directories(kavrel_obsdk_standin PRIVATE
  ${CMAKE_CURRENT_SOURCE_DIR}/obsdk_sim/include
  $<TARGET_PROPERTY:kavrel_log,INTERFACE_INCLUDE_DIRECTORIES>)
target_compile_definitions(kavrel_obsdk_standin PRIVATE
  $<TARGET_PROPERTY:kavrel_log,INTERFACE_COMPILE_DEFINITIONS>)
target_link_libraries(kavrel_obsdk_standin
  PUBLIC Threads::Threads
  PRIVATE spdlog::spdlog Qt5::Core ${OpenCV_LIBS} PkgConfig::TURBOJPEG)

install(TARGETS kavrel_obsdk_standin
  LIBRARY DESTINATION lib NAMELINK_COMPONENT obsdk_standin
  COMPONENT obsdk_standin EXCLUDE_FROM_ALL)
install(DIRECTORY obsdk_sim/include/libobsensor obsdk_sim/include/obsdk_sim
  DESTINATION include COMPONENT obsdk_standin EXCLUDE_FROM_ALL)
include(CMakePackageConfigHelpers)
write_basic_package_version_file(
  ${CMAKE_CURRENT_BINARY_DIR}/OrbbecSDKConfigVersion.cmake
  VERSION ${KAVREL_OBSDK_STANDIN_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES obsdk_sim/cmake/OrbbecSDKConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/OrbbecSDKConfigVersion.cmake
  DESTINATION lib/cmake/OrbbecSDK COMPONENT obsdk_standin EXCLUDE_FROM_ALL)
